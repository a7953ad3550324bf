// RequestReservation.h - memory reserved from --max-request-memory for a large request before
// the ORB unmarshals its arguments, and held until its reply is sent.
//
// The servant's own admission (Session.cc) counts a request once its arguments are in memory:
// too late to bound what the ORB built to get there, tens of MB for a get of a million keys.
// This reservation is taken first, from the request's shape (RequestPeek.h): the elements of
// its first argument at a given cost each, plus the bytes of the message still to read. A
// request that does not fit waits up to a second for others to end, then is refused with
// NO_MEMORY before anything of it is unmarshalled; its connection stays usable.
//
// Not thread-safe: one per request, made and destroyed on the thread that dispatches it.
#ifndef QMR_DATASTORED_REQUESTRESERVATION_H
#define QMR_DATASTORED_REQUESTRESERVATION_H

#include <omniORB4/CORBA.h>

#include <cstdint>

#include "sessions/MemoryBudget.h"

namespace qmr_datastored {

class RequestReservation {
 public:
  // Reserves for `handle`'s request (operation `op` of session `session`, for the log) when its
  // arguments are estimated at kLargeRequestBytes or more, `perElement` bytes for each element
  // of its first argument. Raises NO_MEMORY when the estimate does not fit `budget` in time.
  RequestReservation(omniCallHandle& handle, Budget& budget, long long perElement,
                     uint64_t session);
  ~RequestReservation();
  RequestReservation(const RequestReservation&) = delete;
  RequestReservation& operator=(const RequestReservation&) = delete;

  // What the request being dispatched on this thread reserved beforehand; 0 when none.
  static long long current();

 private:
  Budget& budget_;
  long long bytes_ = 0;
  long long previous_ = 0;  // current() of an enclosing dispatch (none in practice)
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_REQUESTRESERVATION_H
