// SessionRegistry.cc - starting, ending and reaping the sessions of the data store.
#include "SessionRegistry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "SessionId.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {
namespace {

qmr_util::Log* log() { return qmr_util::Log::primary(); }

std::string oidKey(const PortableServer::ObjectId& oid) {
  return std::string(reinterpret_cast<const char*>(oid.get_buffer()), oid.length());
}

PortableServer::ObjectId* toOid(const std::string& key) {
  PortableServer::ObjectId_var oid = new PortableServer::ObjectId(key.size());
  oid->length(static_cast<CORBA::ULong>(key.size()));
  if (!key.empty()) std::memcpy(oid->get_buffer(), key.data(), key.size());
  return oid._retn();
}

}  // namespace

SessionRegistry::SessionRegistry(PortableServer::POA_ptr poa, Store& store, const Limits& limits,
                                 long maxSessions, double idleTimeoutSeconds)
    : poa_(PortableServer::POA::_duplicate(poa)),
      store_(store),
      limits_(limits),
      maxSessions_(static_cast<size_t>(maxSessions)),
      idleTimeout_(idleTimeoutSeconds) {}

SessionRegistry::~SessionRegistry() { clear(); }

ClientCore::DataStoreSession_ptr SessionRegistry::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sessions_.size() >= maxSessions_) {
    log()->warning(
        "startSession refused: %zu sessions are open, the most --max-sessions allows; "
        "clients must end their sessions (idle ones end after --session-timeout)",
        sessions_.size());
    throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
  }
  Entry session(new Session(nextId_++, store_, limits_));
  PortableServer::ObjectId_var oid;
  for (;;) {
    oid = newSessionId();
    try {
      poa_->activate_object_with_id(oid.in(), session.in());
      break;
    } catch (const PortableServer::POA::ObjectAlreadyActive&) {
      // 2^-128 odds: draw again rather than hand out a session twice.
    }
  }
  CORBA::Object_var obj = poa_->id_to_reference(oid.in());
  ClientCore::DataStoreSession_var ref = ClientCore::DataStoreSession::_narrow(obj.in());
  sessions_.emplace(oidKey(oid.in()), session);
  log()->info("session %llu started (%zu open)", static_cast<unsigned long long>(session->id()),
              sessions_.size());
  return ref._retn();
}

void SessionRegistry::end(ClientCore::DataStoreSession_ptr session) {
  if (CORBA::is_nil(session)) return;
  std::string key;
  try {
    PortableServer::ObjectId_var oid = poa_->reference_to_id(session);
    key = oidKey(oid.in());
  } catch (const PortableServer::POA::WrongAdapter&) {
    log()->info("endSession of a session this server did not start: nothing to do");
    return;
  } catch (const PortableServer::POA::WrongPolicy&) {
    return;
  }
  Entry entry;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(key);
    if (it == sessions_.end()) {
      log()->info("endSession of a session that has already ended: nothing to do");
      return;
    }
    entry = it->second;
    sessions_.erase(it);
  }
  finish(key, entry.in(), "by endSession");
}

void SessionRegistry::finish(const std::string& key, Session* session, const char* why) {
  double idle = session->idleSeconds();
  size_t discarded = session->end();
  try {
    PortableServer::ObjectId_var oid = toOid(key);
    poa_->deactivate_object(oid.in());
  } catch (const PortableServer::POA::ObjectNotActive&) {
  } catch (const CORBA::Exception& e) {
    log()->warning("session %llu: deactivation failed: %s",
                   static_cast<unsigned long long>(session->id()), e._name());
  }
  size_t open = size();
  if (std::strcmp(why, "idle") == 0) {
    log()->info(
        "session %llu ended after %.1f s idle (--session-timeout %g): %zu pending changes "
        "discarded, %zu open",
        static_cast<unsigned long long>(session->id()), idle, idleTimeout_, discarded, open);
  } else {
    log()->info("session %llu ended %s: %zu pending changes discarded, %zu open",
                static_cast<unsigned long long>(session->id()), why, discarded, open);
  }
}

size_t SessionRegistry::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.size();
}

size_t SessionRegistry::reapIdle() {
  if (idleTimeout_ <= 0) return 0;
  auto cutoff = Session::Clock::now() - std::chrono::duration_cast<Session::Clock::duration>(
                                            std::chrono::duration<double>(idleTimeout_));
  std::vector<std::pair<std::string, Entry>> idle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (it->second->idleSince(cutoff)) {
        idle.emplace_back(it->first, it->second);
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& item : idle) finish(item.first, item.second.in(), "idle");
  return idle.size();
}

void SessionRegistry::startReaper() {
  if (idleTimeout_ <= 0 || reaper_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(reaperMutex_);
    stopping_ = false;
  }
  reaper_ = std::thread([this] { reaperLoop(); });
}

void SessionRegistry::stopReaper() {
  {
    std::lock_guard<std::mutex> lock(reaperMutex_);
    stopping_ = true;
  }
  reaperWake_.notify_all();
  if (reaper_.joinable()) reaper_.join();
}

void SessionRegistry::reaperLoop() {
  // Checks a few times per timeout, so a session ends at most a quarter late; at least every
  // 30 s and at most every 50 ms.
  double period = std::min(30.0, std::max(0.05, idleTimeout_ / 4));
  auto interval =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(period));
  std::unique_lock<std::mutex> lock(reaperMutex_);
  while (!stopping_) {
    reaperWake_.wait_for(lock, interval);
    if (stopping_) break;
    lock.unlock();
    try {
      reapIdle();
    } catch (const CORBA::Exception& e) {
      log()->error("reaping idle sessions failed: %s", e._name());
    }
    lock.lock();
  }
}

void SessionRegistry::clear() {
  stopReaper();
  std::map<std::string, Entry> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(sessions_);
  }
  dropped.clear();
  poa_ = PortableServer::POA::_nil();
}

}  // namespace qmr_datastored
