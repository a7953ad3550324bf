// StoreError.h - the error that the store raises when its database fails, whatever the engine.
#ifndef QMR_DATASTORED_STOREERROR_H
#define QMR_DATASTORED_STOREERROR_H

#include <stdexcept>
#include <string>

namespace qmr_datastored {

// A failure of the database, with a message that names the database and what to do.
class StoreError : public std::runtime_error {
 public:
  enum Kind {
    kCannotOpen,   // the database cannot be opened, created or written
    kDamaged,      // the database is not one of ours, or fails the integrity check
    kFailed,       // a statement failed while the server was running
    kFull,         // the committed entries would exceed their memory limit
    kUnavailable,  // the database server cannot be reached now; worth retrying later
  };
  StoreError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_STOREERROR_H
