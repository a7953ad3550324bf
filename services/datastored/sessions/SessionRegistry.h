// SessionRegistry.h - the open sessions of the data store: starts them (up to a limit in all
// and per client; when the table is full the longest idle session makes room), ends them on
// request, and ends those left idle too long from a thread of its own.
//
// Thread-safety: every member may be called from any thread. The registry's lock guards only
// the map of sessions; no database work and no POA deactivation happen under it.
#ifndef QMR_DATASTORED_SESSIONREGISTRY_H
#define QMR_DATASTORED_SESSIONREGISTRY_H

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "sessions/ClientClass.h"
#include "sessions/Session.h"

namespace qmr_datastored {

class SessionRegistry {
 public:
  // `poa` (borrowed, duplicated; USER_ID policy) activates the session servants under random
  // ids (SessionId.h); `store` must outlive the registry and every session. The registry
  // applies limits.maxSessions, maxSessionsPerClient and sessionTimeout (0: sessions are never
  // reaped), the sessions the rest. `bounds` (borrowed) is shared by every session and must
  // outlive them.
  SessionRegistry(PortableServer::POA_ptr poa, Store& store, const Limits& limits,
                  MemoryBounds& bounds);
  ~SessionRegistry();
  SessionRegistry(const SessionRegistry&) = delete;
  SessionRegistry& operator=(const SessionRegistry&) = delete;

  // Activates a new session for `client` (the caller's connection, as DataStoreServant names
  // it) and returns its reference, which the caller owns. Raises NO_RESOURCES when the client
  // has maxPerClient sessions open. When maxSessions are open, ends the one idle longest (a
  // warning names it) to make room; NO_RESOURCES when every one has a call in progress.
  ClientCore::DataStoreSession_ptr start(const std::string& client);
  // Ends the session `session` refers to: discards its pending changes and deactivates it.
  // Nil, or a reference to no open session of this server, does nothing.
  void end(ClientCore::DataStoreSession_ptr session);
  // Open sessions now.
  size_t size();
  // Open sessions now by client class (clientClass() of the client that started them).
  std::map<std::string, size_t> openByClass();

  // Starts / stops the thread that ends idle sessions (no-op when the timeout is 0).
  void startReaper();
  void stopReaper();
  // Ends every idle session whose last call ended more than the timeout ago; returns how
  // many. The reaper thread calls it periodically.
  size_t reapIdle();
  // Stops the reaper and drops the registry's references (before the ORB is destroyed).
  void clear();

 private:
  using Entry = PortableServer::Servant_var<Session>;
  struct Open {
    Entry session;
    std::string client;  // who started it
  };
  // Ends `session` (object id `oid`) and deactivates it; returns how many pending changes it
  // discarded. Called without mutex_ held.
  size_t finish(const std::string& oid, Session* session);
  void reaperLoop();

  PortableServer::POA_var poa_;
  Store& store_;
  const Limits limits_;
  MemoryBounds& bounds_;
  const size_t maxSessions_;
  const size_t maxPerClient_;
  const double idleTimeout_;
  std::mutex mutex_;
  std::map<std::string, Open> sessions_;  // by object id; guarded by mutex_
  uint64_t nextId_ = 1;                   // numbers sessions in the log; guarded by mutex_
  std::mutex reaperMutex_;
  std::condition_variable reaperWake_;
  bool stopping_ = false;  // guarded by reaperMutex_
  std::thread reaper_;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_SESSIONREGISTRY_H
