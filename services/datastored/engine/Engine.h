// Engine.h - what the store needs of a database engine (SQLite file or PostgreSQL server):
// open and check it, load or look up committed entries, write a group of commits in one
// transaction, purge expired entries, count, and report durability. Sessions, the commit
// queue and the servant see only Store, which owns one Engine.
#ifndef QMR_DATASTORED_ENGINE_H
#define QMR_DATASTORED_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/StoreError.h"

namespace qmr_datastored {

class Index;

// One pending change of a session: a value to store (with its lifetime in seconds from the
// commit; <= 0 never expires) or a removal.
struct Change {
  bool remove = false;
  std::string data;
  int32_t expir = 0;
};
// Pending changes by key; each key once, the last change wins.
using ChangeSet = std::map<std::string, Change, std::less<>>;

// Milliseconds since the epoch (wall clock: expiry times are stored and survive restarts).
int64_t nowMs();

// When a value stored by `change` at `now` expires (ms since the epoch; 0 never).
inline int64_t expiresAt(const Change& change, int64_t now) {
  return change.expir > 0 ? now + int64_t(change.expir) * 1000 : 0;
}

// Whether an entry with absolute expiry `expires` (0 never) is gone at `now`.
inline bool expiredAt(int64_t expires, int64_t now) { return expires > 0 && expires <= now; }

// Key i of a lookup; the text stays valid during the lookup.
using KeyAt = std::function<std::string_view(size_t i)>;
// Called for key i of a lookup with its committed value, or null when it has none (or it
// expired). The value is valid during the call only. Return false to stop the lookup.
using Visit = std::function<bool(size_t i, const std::string* value)>;

// Thread-safety: commitGroup and count are called by one thread at a time (the store
// serialises them); lookup may be called from any thread at once, also during a commit; check
// by one thread at a time, also during a commit (it uses a connection of its own).
class Engine {
 public:
  virtual ~Engine() = default;

  // The database for messages: a file path, or a connection URI without its password.
  virtual const std::string& name() const = 0;

  // True when reads are served from the in-memory index that load() fills; false when every
  // lookup asks the database (lookup()).
  virtual bool servesReadsFromMemory() const = 0;
  // Adds every committed entry to `index` (start-up, before any reader). Throws StoreError.
  virtual void load(Index& index) = 0;
  // Looks up `count` keys in the database itself, all in one consistent state. Throws
  // StoreError (kUnavailable when the database cannot be reached).
  virtual void lookup(size_t count, const KeyAt& keyAt, int64_t now, const Visit& visit) = 0;

  // Writes `members` in one transaction (each all or nothing, in a savepoint of its own when
  // there are several), values expiring relative to `now`, purges expired entries and
  // commits. (*failures)[i] receives member i's error, or null when it was written; *purged
  // the keys purged. Throws StoreError when the transaction as a whole fails: then nothing is
  // applied (kUnavailable when the connection was lost before the commit was sent). The same
  // for every engine, through the steps below.
  void commitGroup(const std::vector<const ChangeSet*>& members, int64_t now,
                   std::vector<std::exception_ptr>* failures, std::vector<std::string>* purged);

  // Checks that the database is sound and still has the server's schema, on a connection of
  // its own. Throws StoreError(kDamaged) with the problems found, or another StoreError.
  virtual void check() = 0;

  // One line on how durable commits are, read back from the database, for the log.
  virtual std::string durability() = 0;

  // Committed entries, expired ones included (for logs); -1 when the database does not answer.
  virtual long count() = 0;

  // Ends every wait on the database in progress and to come at once: the server is stopping
  // and no call may hold it up. Calls then fail as if the database could not be reached. May
  // be called from any thread; engines whose waits are short anyway do nothing.
  virtual void interrupt() {}

  // For tests: makes the database refuse values longer than `bytes`, a failure that hits only
  // the member of a group that stores such a value. Engines that cannot do it throw
  // std::logic_error.
  virtual void limitValueBytesForTest(int bytes) = 0;

 protected:
  // The steps of commitGroup; each throws StoreError when it fails.
  enum class Savepoint { kOpen, kRollBack, kRelease };
  virtual void begin() = 0;
  virtual void savepoint(Savepoint step) = 0;
  // Writes one member's changes (values expiring relative to `now`).
  virtual void write(const ChangeSet& changes, int64_t now) = 0;
  // Deletes entries expired at `now`; appends their keys to *keys.
  virtual void purge(int64_t now, std::vector<std::string>* keys) = 0;
  virtual void commit() = 0;
  // Undoes whatever part of the transaction is open after a failure; never throws.
  virtual void abandon() noexcept = 0;
};

// True when `db` (the --db value) names a PostgreSQL database: a libpq connection URI,
// "postgresql://..." or "postgres://...". Anything else is an SQLite file path.
bool isPostgresUri(const std::string& db);

// Opens the engine for `db`. busyTimeoutMs: SQLite's wait for another process's lock;
// dbTimeoutMs: PostgreSQL's bound on every wait (connect, statement, commit). Throws StoreError.
std::unique_ptr<Engine> openEngine(const std::string& db, int busyTimeoutMs, int dbTimeoutMs);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_ENGINE_H
