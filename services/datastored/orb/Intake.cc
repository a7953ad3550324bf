// Intake.cc - the descriptor limit, the bound on connections (an accept interceptor that counts
// the descriptors in use) and the rate-limited log of connections refused or stalled.
#include "orb/Intake.h"

#include <dirent.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "OmniInternals.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {
namespace {

using Clock = std::chrono::steady_clock;
using omniInterceptors = _OMNI_NS(omniInterceptors);

qmr_util::Log* log() { return qmr_util::Log::primary(); }

// Descriptors kept for the server's own use beyond those open at start-up: database files and
// connections, log rotation, the connection to the Naming Service.
constexpr long kReservedDescriptors = 64;
// The most often a log line of each kind is written.
constexpr auto kLogEvery = std::chrono::seconds(10);

std::string text(rlim_t limit) {
  return limit == RLIM_INFINITY ? "unlimited" : std::to_string(static_cast<unsigned long long>(limit));
}

// Counts events of one kind for a log line: at most one line every kLogEvery, with the count
// since the last one.
class Summary {
 public:
  void note(const std::string& peer) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    last_ = peer;
  }
  // True, with the count and the last peer, when events were counted and no line was written
  // in the last kLogEvery; then starts counting again.
  bool due(long* count, std::string* last) {
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point now = Clock::now();
    if (count_ == 0 || (logged_ != Clock::time_point() && now - logged_ < kLogEvery)) return false;
    *count = count_;
    *last = last_;
    count_ = 0;
    logged_ = now;
    return true;
  }

 private:
  std::mutex mutex_;
  long count_ = 0;
  std::string last_;
  Clock::time_point logged_;
};

struct State {
  std::atomic<bool> active{false};  // false before an Intake is made and after it is gone
  long maxConnections = 0;
  long baseline = 0;  // descriptors open when the bound was installed
  Summary refused;
  Summary stalled;

  // The descriptors in use, recounted when the estimate nears the bound or is a second old;
  // in between every accepted connection adds one (closed ones are not seen, so the estimate
  // only errs towards a recount).
  std::mutex countMutex;
  long counted = 0;
  long acceptedSince = 0;
  Clock::time_point countedAt;

  // Connections accepted that have not delivered a whole request yet, by connection, with when
  // they were accepted and their peer. A connection is only a key here, never dereferenced.
  std::mutex waitingMutex;
  std::unordered_map<const void*, std::pair<Clock::time_point, std::string>> waiting;
  std::atomic<size_t> waitingCount{0};
};

// The interceptors are plain functions: they find the bounds here. Never destroyed, since
// omniORB may call them until the ORB is.
State& state() {
  static State* s = new State;
  return *s;
}

long descriptorsInUse(State& s) {
  std::lock_guard<std::mutex> lock(s.countMutex);
  Clock::time_point now = Clock::now();
  long estimate = s.counted + s.acceptedSince + 1;
  if (estimate * 4 >= (s.baseline + s.maxConnections) * 3 || now - s.countedAt > std::chrono::seconds(1)) {
    s.counted = Intake::openDescriptors();
    s.acceptedSince = 0;
    s.countedAt = now;
    return s.counted;
  }
  ++s.acceptedSince;
  return estimate;
}

// Connections accepted more than a few seconds ago without a request have been closed by
// omniORB's scan (or by their client): forgets them, counting them for the log.
void sweepStalled(State& s) {
  Clock::time_point cutoff = Clock::now() - std::chrono::seconds(kIdleConnectionSeconds + 2);
  std::lock_guard<std::mutex> lock(s.waitingMutex);
  for (auto it = s.waiting.begin(); it != s.waiting.end();) {
    if (it->second.first >= cutoff) {
      ++it;
      continue;
    }
    s.stalled.note(it->second.second);
    it = s.waiting.erase(it);
  }
  s.waitingCount = s.waiting.size();
}

// Writes the lines that are due.
void report(State& s) {
  long count = 0;
  std::string last;
  if (s.refused.due(&count, &last)) {
    log()->warning(
        "refused %ld client connections (the last from %s): as many as --max-connections %ld "
        "were open. Connections idle or stalled for about %d s are closed; raise the flag if "
        "this is the normal load",
        count, last.c_str(), s.maxConnections, kIdleConnectionSeconds);
  }
  if (s.stalled.due(&count, &last)) {
    log()->warning(
        "%ld client connections ended without delivering a whole request within %d s (the "
        "last from %s): connections that stall are closed after about %d s",
        count, kIdleConnectionSeconds + 2, last.c_str(), kIdleConnectionSeconds);
  }
}

CORBA::Boolean onAccept(omniInterceptors::serverAcceptConnection_T::info_T& info) {
  State& s = state();
  if (!s.active) return true;
  long open = descriptorsInUse(s);
  const char* peer = info.peeraddress();
  std::string from = peer != nullptr ? peer : "?";
  if (open > s.baseline + s.maxConnections) {
    info.reject = 1;
    info.why = "the server has as many connections open as --max-connections allows";
    s.refused.note(from);
    return true;
  }
  std::lock_guard<std::mutex> lock(s.waitingMutex);
  s.waiting[qmr_util::omni_internals::acceptedConnection(info)] = {Clock::now(), from};
  s.waitingCount = s.waiting.size();
  return true;
}

CORBA::Boolean onRequest(omniInterceptors::serverReceiveRequest_T::info_T& info) {
  State& s = state();
  if (s.waitingCount.load() == 0) return true;  // the usual case: one atomic load
  const void* connection = qmr_util::omni_internals::requestConnection(info);
  std::lock_guard<std::mutex> lock(s.waitingMutex);
  s.waiting.erase(connection);
  s.waitingCount = s.waiting.size();
  return true;
}

// Calls f(fd) for each descriptor the process has open (from /proc/self/fd), leaving out the
// one that lists them; calls nothing when the list cannot be read.
template <typename F>
void forEachDescriptor(F f) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd != ::dirfd(dir)) f(fd);
  }
  ::closedir(dir);
}

}  // namespace

DescriptorLimit raiseDescriptorLimit() {
  DescriptorLimit result;
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    result.error = std::string("getrlimit failed: ") + std::strerror(errno);
    return result;
  }
  result.before = result.after = limit.rlim_cur;
  result.hard = limit.rlim_max;
  if (limit.rlim_cur == limit.rlim_max) return result;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    result.error = std::string("setrlimit failed: ") + std::strerror(errno);
    return result;
  }
  result.after = limit.rlim_cur;
  return result;
}

int raiseListenBacklogs(int backlog) {
  int raised = 0;
  forEachDescriptor([&](int fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    // listen() on a socket that listens already only changes its backlog.
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening &&
        ::listen(fd, backlog) == 0) {
      ++raised;
    }
  });
  return raised;
}

long Intake::openDescriptors() {
  long count = 0;
  forEachDescriptor([&](int) { ++count; });
  return count;
}

Intake::Intake(long maxConnections, const DescriptorLimit& descriptors) {
  State& s = state();
  s.baseline = openDescriptors();
  long room = descriptors.after == RLIM_INFINITY
                  ? maxConnections
                  : static_cast<long>(descriptors.after) - s.baseline - kReservedDescriptors;
  maxConnections_ = s.maxConnections = std::max(1L, std::min(maxConnections, room));
  s.counted = s.baseline;
  s.countedAt = Clock::now();
  static std::once_flag installed;
  std::call_once(installed, [] {
    omniInterceptors* interceptors = omniORB::getInterceptors();
    interceptors->serverAcceptConnection.add(onAccept);
    interceptors->serverReceiveRequest.add(onRequest);
  });
  s.active = true;

  std::string limits = "descriptors: soft limit " + text(descriptors.before);
  if (descriptors.after != descriptors.before) {
    limits += " raised to " + text(descriptors.after) + " (the hard limit)";
  } else {
    limits += ", hard limit " + text(descriptors.hard);
  }
  if (!descriptors.error.empty()) limits += " (not raised: " + descriptors.error + ")";
  log()->info("%s; at most %ld client connections at once; connections idle or stalled for "
              "about %d s are closed",
              limits.c_str(), maxConnections_, kIdleConnectionSeconds);
  if (maxConnections_ < maxConnections) {
    log()->warning("only %ld client connections fit the descriptor limit %s, not the %ld of "
                   "--max-connections; raise the hard limit (ulimit -Hn, LimitNOFILE=)",
                   maxConnections_, text(descriptors.after).c_str(), maxConnections);
  }
  thread_ = std::thread([this] { loop(); });
}

Intake::~Intake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  state().active = false;
}

void Intake::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; })) {
    lock.unlock();
    sweepStalled(state());
    report(state());
    lock.lock();
  }
}

}  // namespace qmr_datastored
