// Reads.h - where a get finds the committed entries: in memory (Index, loaded from an SQLite
// file at start-up) or in the database itself (PostgresEngine, which several servers share).
// The commit queue asks it whether a commit fits before writing, and hands it each group once
// the group is on disk, so that reads see every acknowledged commit and nothing else.
#ifndef QMR_DATASTORED_READS_H
#define QMR_DATASTORED_READS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Engine.h"

namespace qmr_datastored {

// Thread-safety: lookup may run on any number of threads at once, also while a group is
// published; admit and publish are called by one thread at a time (the commit leader).
class Reads {
 public:
  virtual ~Reads() = default;

  // Calls visit(i, value) for each key i < count (keyAt(i)) with its committed value that has
  // not expired at `now`, or null, all from one state of the entries (between two commit
  // groups), until visit returns false. Throws StoreError when the database is asked and
  // fails (kUnavailable: it cannot be reached now).
  virtual void lookup(size_t count, const KeyAt& keyAt, int64_t now, const Visit& visit) = 0;

  // Whether `changes` may be committed, given `*reserved` bytes already promised to earlier
  // members of the same group: true after adding what they take to *reserved, false with the
  // reason (naming the flag to raise) in *why.
  virtual bool admit(const ChangeSet& changes, long long* reserved, std::string* why) = 0;

  // A group is on disk: `written` were applied with expiry relative to `now`, and `purged`
  // were deleted as expired. A reader sees all of it or none of it.
  virtual void publish(const std::vector<const ChangeSet*>& written, int64_t now,
                       const std::vector<std::string>& purged) = 0;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_READS_H
