// SessionRegistry.cc - starting, ending and reaping the sessions of the data store.
#include "sessions/SessionRegistry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "metrics/Counters.h"
#include "sessions/SessionId.h"
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
                                 MemoryBounds& bounds)
    : poa_(PortableServer::POA::_duplicate(poa)),
      store_(store),
      limits_(limits),
      bounds_(bounds),
      maxSessions_(static_cast<size_t>(limits.maxSessions)),
      maxPerClient_(static_cast<size_t>(limits.maxSessionsPerClient)),
      idleTimeout_(limits.sessionTimeout) {}

SessionRegistry::~SessionRegistry() { clear(); }

ClientCore::DataStoreSession_ptr SessionRegistry::start(const std::string& client) {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t ofClient = 0;
  for (const auto& item : sessions_) ofClient += item.second.client == client;
  if (ofClient >= maxPerClient_) {
    log()->warning(
        "startSession refused: client %s has %zu sessions open, the most "
        "--max-sessions-per-client allows; it must end its sessions (idle ones end after "
        "--session-timeout)",
        client.c_str(), ofClient);
    counters().refused(Refusal::kSessionsPerClient);
    throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
  }
  std::string evictedKey;
  Open evicted;
  if (sessions_.size() >= maxSessions_) {
    // The table is full: the session idle longest makes room, so that no client, however
    // many sessions others leave open, is locked out for the idle timeout.
    auto oldest = sessions_.end();
    double oldestIdle = -1;
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      if (it->second.session->busy()) continue;
      double idle = it->second.session->idleSeconds();
      if (idle > oldestIdle) {
        oldest = it;
        oldestIdle = idle;
      }
    }
    if (oldest == sessions_.end()) {
      log()->warning(
          "startSession refused: %zu sessions are open, the most --max-sessions allows, and "
          "every one has a call in progress",
          sessions_.size());
      counters().refused(Refusal::kSessionsBusy);
      throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
    }
    evictedKey = oldest->first;
    evicted = oldest->second;
    sessions_.erase(oldest);
  }
  Entry session(new Session(nextId_++, store_, limits_, bounds_));
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
  sessions_.emplace(oidKey(oid.in()), Open{session, client});
  counters().sessionsStarted.add();
  log()->info("session %llu started for client %s (%zu open)",
              static_cast<unsigned long long>(session->id()), client.c_str(), sessions_.size());
  lock.unlock();
  if (!evictedKey.empty()) {
    double idle = evicted.session->idleSeconds();
    size_t discarded = finish(evictedKey, evicted.session.in());
    counters().sessionEnded(SessionEnd::kEvicted);
    log()->warning(
        "session %llu of client %s ended after %.1f s idle to make room for session %llu: "
        "--max-sessions %zu were open; %zu pending changes discarded",
        static_cast<unsigned long long>(evicted.session->id()), evicted.client.c_str(), idle,
        static_cast<unsigned long long>(session->id()), maxSessions_, discarded);
  }
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
    entry = it->second.session;
    sessions_.erase(it);
  }
  size_t discarded = finish(key, entry.in());
  counters().sessionEnded(SessionEnd::kByClient);
  log()->info("session %llu ended by endSession: %zu pending changes discarded, %zu open",
              static_cast<unsigned long long>(entry->id()), discarded, size());
}

size_t SessionRegistry::finish(const std::string& key, Session* session) {
  size_t discarded = session->end();
  try {
    PortableServer::ObjectId_var oid = toOid(key);
    poa_->deactivate_object(oid.in());
  } catch (const PortableServer::POA::ObjectNotActive&) {
  } catch (const CORBA::Exception& e) {
    log()->warning("session %llu: deactivation failed: %s",
                   static_cast<unsigned long long>(session->id()), e._name());
  }
  return discarded;
}

size_t SessionRegistry::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.size();
}

std::map<std::string, size_t> SessionRegistry::openByClass() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<std::string, size_t> out;
  for (const auto& item : sessions_) ++out[clientClass(item.second.client)];
  return out;
}

size_t SessionRegistry::reapIdle() {
  if (idleTimeout_ <= 0) return 0;
  auto cutoff = Session::Clock::now() - std::chrono::duration_cast<Session::Clock::duration>(
                                            std::chrono::duration<double>(idleTimeout_));
  std::vector<std::pair<std::string, Entry>> idle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (it->second.session->idleSince(cutoff)) {
        idle.emplace_back(it->first, it->second.session);
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& item : idle) {
    double seconds = item.second->idleSeconds();
    size_t discarded = finish(item.first, item.second.in());
    counters().sessionEnded(SessionEnd::kIdle);
    log()->info(
        "session %llu ended after %.1f s idle (--session-timeout %g): %zu pending changes "
        "discarded, %zu open",
        static_cast<unsigned long long>(item.second->id()), seconds, idleTimeout_, discarded,
        size());
  }
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
  std::map<std::string, Open> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(sessions_);
  }
  dropped.clear();
  poa_ = PortableServer::POA::_nil();
}

}  // namespace qmr_datastored
