// Session.h - the servant of one DataStoreSession: a client's pending changes on top of the
// committed store.
//
// get answers each key from the session's own pending change when it has one (a pending set
// is valid with its data, a pending remove is not valid), otherwise from the committed store.
// A database that fails a get or commit raises TRANSIENT (cannot be reached now) or
// PERSIST_STORE, which the client library answers with a fresh session.
// set and remove only add pending changes; commit applies them all in one transaction.
//
// Thread-safety: calls on one session are serialised by the session's own lock, so calls on
// different sessions never wait for each other (except that commits of concurrent sessions
// are written together, in one transaction of the store). The POA owns the servant; SessionRegistry
// keeps a reference while it is open.
#ifndef QMR_DATASTORED_SESSION_H
#define QMR_DATASTORED_SESSION_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sessions/Limits.h"
#include "sessions/MemoryBudget.h"
#include "store/Store.h"
#include "qmr/ClientCore/DataStoreSession.hh"

namespace qmr_datastored {

class Session : public POA_ClientCore::DataStoreSession {
 public:
  using Clock = std::chrono::steady_clock;

  // `client` is who started it (PeerIdentity.h), whose share of the pending bytes it draws
  // on. `bounds` (borrowed, shared by all sessions) must outlive the session.
  Session(uint64_t id, std::string client, Store& store, const Limits& limits,
          MemoryBounds& bounds);
  ~Session() override;

  void get(const ClientCore::StringList& keys,
           ClientCore::DataStoreSession::ValueList_out values) override;
  void set(const ClientCore::DataStoreSession::EntryList& entries) override;
  void remove(const ClientCore::StringList& keys) override;
  void commit() override;
  void abort() override;

  uint64_t id() const { return id_; }
  const std::string& client() const { return client_; }
  // Dispatches as generated, refusing strings with a NUL inside in the arguments and copying
  // the reply's strings as blocks (SessionStrings.h).
  CORBA::Boolean _dispatch(omniCallHandle& handle) override;
  // Ends the session: discards the pending changes (waiting for a call in progress) and makes
  // every later call raise OBJECT_NOT_EXIST. Returns how many changes were discarded.
  size_t end();
  // True when no call is in progress and the last one ended before `cutoff`.
  bool idleSince(Clock::time_point cutoff) const;
  // True while a call is in progress.
  bool busy() const { return inFlight_.load() > 0; }
  // Seconds since the last call ended (or the session started).
  double idleSeconds() const;

 private:
  // Marks a call in progress for the idle check; raises OBJECT_NOT_EXIST on an ended session.
  // Every operation checks again with checkOpen() once it holds mutex_: end() may run between
  // the two, and an operation that went on would, for a commit, report success for changes
  // that end() discarded.
  class Call {
   public:
    Call(Session& s, const char* op);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    Session& s_;
  };

  // One change of a set or remove request, pointing into the request.
  struct Incoming {
    std::string_view key;
    bool remove;
    std::string_view data;
    int32_t expir;
  };
  void checkOpen() const;  // mutex_ held; raises OBJECT_NOT_EXIST once end() has run
  void checkKey(const char* op, const char* key) const;
  // Adds the changes, all or none: raises TransactionSizeExceeded when they do not fit.
  void apply(const char* op, const std::vector<Incoming>& changes);
  void checkRoomFor(const char* op, size_t newKeys, long long newBytes);  // mutex_ held
  void dropPending();  // mutex_ held: empties pending_ and gives its bytes back to bounds_
  // Logs the database failure `e` of `op` on `count` keys or changes and raises TRANSIENT when
  // the database cannot be reached now, PERSIST_STORE otherwise.
  [[noreturn]] void raiseStoreFailure(const char* op, size_t count, const StoreError& e) const;

  const uint64_t id_;
  const std::string client_;
  Store& store_;
  const Limits limits_;
  MemoryBounds& bounds_;
  std::atomic<bool> ended_{false};  // set under mutex_; read without it only by Call
  std::atomic<int> inFlight_{0};
  std::atomic<int64_t> lastActive_;  // Clock ticks
  std::mutex mutex_;
  ChangeSet pending_;           // guarded by mutex_
  long long pendingBytes_ = 0;  // key and value bytes in pending_; guarded by mutex_
  // What pending_ holds of bounds_.pending: its bytes and the overhead of each key (its map
  // node and strings); guarded by mutex_.
  long long pendingCharge_ = 0;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_SESSION_H
