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

SessionRegistry::Table::iterator SessionRegistry::idlestOf(const std::string& client) {
  auto idlest = sessions_.end();
  double idlestSeconds = -1;
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (it->second->client() != client || it->second->busy()) continue;
    double idle = it->second->idleSeconds();
    if (idle > idlestSeconds) {
      idlest = it;
      idlestSeconds = idle;
    }
  }
  return idlest;
}

SessionRegistry::Table::iterator SessionRegistry::makeRoom(const std::string& client,
                                                           std::string* reason) {
  auto own = counts_.find(client);
  const size_t mine = own != counts_.end() ? own->second : 0;
  if (mine >= maxPerClient_) {
    // A client at its quota pays with its own session idle longest: a program that leaves a
    // session behind at every failed call (as the client library's manager does) never
    // locks itself out, and never costs anyone else a session.
    auto victim = idlestOf(client);
    if (victim == sessions_.end()) {
      log()->warning(
          "startSession refused: client %s has %zu sessions open, the most "
          "--max-sessions-per-client allows, and every one has a call in progress",
          client.c_str(), mine);
      counters().refused(Refusal::kSessionsBusy);
      throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
    }
    *reason = "client " + client + " had --max-sessions-per-client " +
              std::to_string(maxPerClient_) + " open";
    return victim;
  }
  if (sessions_.size() < maxSessions_) return sessions_.end();
  // The table is full. Each client's fair share counts the requester among the clients; the
  // sessions then number one more than the table holds, so some client is over its share.
  const size_t clients = counts_.size() + (mine == 0 ? 1 : 0);
  const size_t share = maxSessions_ / clients;
  auto after = [&](const std::string& c, size_t n) { return c == client ? n + 1 : n; };
  std::vector<std::pair<size_t, std::string>> over;  // (sessions, client), most first
  for (const auto& item : counts_) {
    size_t n = after(item.first, item.second);
    if (n > share) over.emplace_back(n, item.first);
  }
  std::stable_sort(over.begin(), over.end(), [&](const auto& a, const auto& b) {
    // The requester first: a client over its share pays for its own new session.
    if ((a.second == client) != (b.second == client)) return a.second == client;
    return a.first > b.first;
  });
  for (const auto& candidate : over) {
    auto victim = idlestOf(candidate.second);
    if (victim == sessions_.end()) continue;
    *reason = "--max-sessions " + std::to_string(maxSessions_) + " were open and client " +
              candidate.second + " held " + std::to_string(counts_[candidate.second]) +
              ", over its fair share of " + std::to_string(share) + " among " +
              std::to_string(clients) + " clients";
    return victim;
  }
  log()->warning(
      "startSession refused for client %s: %zu sessions are open, the most --max-sessions "
      "allows, and every session of the clients over their fair share of %zu has a call in "
      "progress",
      client.c_str(), sessions_.size(), share);
  counters().refused(Refusal::kSessionsBusy);
  throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
}

void SessionRegistry::forget(Table::iterator it) {
  auto count = counts_.find(it->second->client());
  if (count != counts_.end() && --count->second == 0) counts_.erase(count);
  sessions_.erase(it);
}

ClientCore::DataStoreSession_ptr SessionRegistry::start(const std::string& client) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::string reason;
  auto victim = makeRoom(client, &reason);
  std::string evictedKey;
  Entry evicted;
  if (victim != sessions_.end()) {
    evictedKey = victim->first;
    evicted = victim->second;
    forget(victim);
  }
  Entry session(new Session(nextId_++, client, store_, limits_, bounds_));
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
  ++counts_[client];
  counters().sessionsStarted.add();
  log()->info("session %llu started for client %s (%zu open)",
              static_cast<unsigned long long>(session->id()), client.c_str(), sessions_.size());
  lock.unlock();
  if (!evictedKey.empty()) {
    double idle = evicted->idleSeconds();
    size_t discarded = finish(evictedKey, evicted.in());
    counters().sessionEnded(SessionEnd::kEvicted);
    log()->warning(
        "session %llu of client %s ended after %.1f s idle to make room for session %llu of "
        "client %s: %s; %zu pending changes discarded",
        static_cast<unsigned long long>(evicted->id()), evicted->client().c_str(), idle,
        static_cast<unsigned long long>(session->id()), client.c_str(), reason.c_str(), discarded);
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
    entry = it->second;
    forget(it);
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
  for (const auto& item : counts_) out[clientClass(item.first)] += item.second;
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
      if (it->second->idleSince(cutoff)) {
        idle.emplace_back(it->first, it->second);
        forget(it++);
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
  Table dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(sessions_);
    counts_.clear();
  }
  dropped.clear();
  poa_ = PortableServer::POA::_nil();
}

}  // namespace qmr_datastored
