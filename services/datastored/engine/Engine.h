// Engine.h - what the store needs to write a database (SQLite file or PostgreSQL server):
// write a group of commits in one transaction, purge expired entries, check the database,
// count, and report durability. Reads go through Reads.h (the in-memory index of an SQLite
// file, or the PostgreSQL engine itself). Sessions and the servant see only Store, which
// owns one Engine; the program chooses and opens it (OpenEngine.h).
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

// Thread-safety: every member is called by one thread at a time (the store serialises them),
// except check, which may run during a commit (it uses a connection of its own), and
// interrupt, which any thread may call at any time.
class Engine {
 public:
  virtual ~Engine() = default;

  // The database for messages: a file path, or a connection URI without its password.
  virtual const std::string& name() const = 0;

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

  // The steps of commitGroup, each engine's own; each throws StoreError when it fails. Only
  // commitGroup and an engine that wraps another run them.
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

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_ENGINE_H
