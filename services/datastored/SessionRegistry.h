// SessionRegistry.h - the open sessions of the data store: starts them (up to a limit), ends
// them on request, and ends those left idle too long from a thread of its own.
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

#include "Session.h"

namespace qmr_datastored {

class SessionRegistry {
 public:
  // `poa` (borrowed, duplicated; USER_ID policy) activates the session servants under random
  // ids (SessionId.h); `store` must outlive the
  // registry and every session. idleTimeoutSeconds 0 means sessions are never reaped.
  SessionRegistry(PortableServer::POA_ptr poa, Store& store, const Limits& limits, long maxSessions,
                  double idleTimeoutSeconds);
  ~SessionRegistry();
  SessionRegistry(const SessionRegistry&) = delete;
  SessionRegistry& operator=(const SessionRegistry&) = delete;

  // Activates a new session and returns its reference, which the caller owns. Raises
  // NO_RESOURCES when maxSessions are open.
  ClientCore::DataStoreSession_ptr start();
  // Ends the session `session` refers to: discards its pending changes and deactivates it.
  // Nil, or a reference to no open session of this server, does nothing.
  void end(ClientCore::DataStoreSession_ptr session);
  // Open sessions now.
  size_t size();

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
  void finish(const std::string& oid, Session* session, const char* why);
  void reaperLoop();

  PortableServer::POA_var poa_;
  Store& store_;
  const Limits limits_;
  const size_t maxSessions_;
  const double idleTimeout_;
  std::mutex mutex_;
  std::map<std::string, Entry> sessions_;  // by object id; guarded by mutex_
  uint64_t nextId_ = 1;                    // numbers sessions in the log; guarded by mutex_
  std::mutex reaperMutex_;
  std::condition_variable reaperWake_;
  bool stopping_ = false;  // guarded by reaperMutex_
  std::thread reaper_;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_SESSIONREGISTRY_H
