// RequestReservation.cc - the estimate of a large request and its reservation, waiting a
// little for room.
#include "orb/RequestReservation.h"

#include <omniORB4/IOP_S.h>
#include <omniORB4/callHandle.h>

#include <malloc.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "orb/RequestPeek.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {
namespace {

// How long a large request waits for room before it is refused.
constexpr auto kWait = std::chrono::seconds(1);

// Wakes the requests that wait for room when a reservation is given back. They look again
// every 50 ms as well, for room that the servant's own admissions give back.
std::mutex gRoomMutex;
std::condition_variable gRoom;

thread_local long long tReserved = 0;

// A reservation this large gives its memory back to the system before it is released. glibc
// keeps what a thread frees in that thread's arena, and the next large request, admitted the
// moment this one releases its reservation, runs on another thread and arena: without the trim
// the freed memory stayed resident beside the new request's, and 48 gets of a million keys
// peaked at 180 to 400 MB with at most two of them admitted at once (about 60 MB each).
// Smaller requests of 1 MB or more leave it to the Trimmer (MemoryBudget.h), off their thread.
constexpr long long kTrimNowBytes = 16LL << 20;

// The bytes of the message still to read, as far as the stream knows them (at most 256 MiB):
// the strings to come take about as much once unmarshalled.
long long remainingBytes(omniCallHandle& handle) {
  cdrStream* stream = dynamic_cast<cdrStream*>(handle.iop_s());
  if (stream == nullptr) return 0;
  CORBA::ULong low = 0, high = 1u << 28;
  while (low < high) {
    CORBA::ULong middle = low + (high - low + 1) / 2;
    if (stream->checkInputOverrun(1, middle)) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  return low;
}

}  // namespace

long long RequestReservation::current() { return tReserved; }

RequestReservation::RequestReservation(omniCallHandle& handle, Budget& budget,
                                       long long perElement, uint64_t session)
    : budget_(budget), previous_(tReserved) {
  RequestShape shape = peekRequest(handle);
  if (!shape.known) return;
  long long estimate = static_cast<long long>(shape.elements) * perElement;
  if (!shape.large && estimate < kLargeRequestBytes) return;
  estimate += remainingBytes(handle);
  bool fits = estimate <= budget_.limit() && budget_.reserve(estimate);
  if (!fits && estimate <= budget_.limit()) {
    auto deadline = std::chrono::steady_clock::now() + kWait;
    std::unique_lock<std::mutex> lock(gRoomMutex);
    while (!(fits = budget_.reserve(estimate)) && std::chrono::steady_clock::now() < deadline) {
      gRoom.wait_for(lock, std::chrono::milliseconds(50));
    }
  }
  if (!fits) {
    qmr_util::Log::primary()->warning(
        "session %llu: %s of %u elements refused with NO_MEMORY before it was read: it takes "
        "about %lld bytes and the requests in progress hold %lld of --max-request-memory %lld; "
        "retry later, send fewer keys at a time, or raise the flag",
        static_cast<unsigned long long>(session), handle.operation_name(), shape.elements,
        estimate, budget_.used(), budget_.limit());
    throw CORBA::NO_MEMORY(0, CORBA::COMPLETED_NO);
  }
  bytes_ = estimate;
  tReserved = bytes_;
}

RequestReservation::~RequestReservation() {
  tReserved = previous_;
  if (bytes_ == 0) return;
  // The request's arguments and reply are freed by now: the generated dispatch that this
  // reservation spans destroys them before it returns.
  if (bytes_ >= kTrimNowBytes) malloc_trim(0);
  budget_.release(bytes_);
  std::lock_guard<std::mutex> lock(gRoomMutex);
  gRoom.notify_all();
}

}  // namespace qmr_datastored
