// Intake.h - the connections the server takes in, so that no number of clients, slow or
// hostile, starves the others:
//
//   - descriptors: the soft limit is raised to the hard limit at start-up (a shell's usual 1,024
//     would otherwise run out, and an ORB that cannot accept spins on its listening socket);
//   - connections: at most --max-connections client connections at once; one past it is closed
//     as soon as it is accepted;
//   - threads and stalled connections: omniORB's options, which Options::orbOptions() sets
//     (thread per connection up to a number of connections, a bounded pool beyond it, and
//     connections idle for a few seconds closed, those that stall in the middle of a message
//     header included);
//   - the listen backlog: omniORB listens with a backlog of 5. On a Unix socket a client that
//     connects while 5 connections wait to be accepted is refused at once (EAGAIN, TRANSIENT
//     to the caller), so a few dozen clients connecting together lost most of their calls;
//     the ORB's listening sockets get the system's largest backlog instead;
//   - a log line, at most one every 10 s for each reason, on the connections refused and on
//     those that ended without ever delivering a whole request.
//
// Thread-safety: one Intake, made by the main thread before the ORB serves; the interceptors
// it adds run on any thread.
#ifndef QMR_DATASTORED_INTAKE_H
#define QMR_DATASTORED_INTAKE_H

#include <sys/resource.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace qmr_datastored {

// What raiseDescriptorLimit() did.
struct DescriptorLimit {
  rlim_t before = 0;  // the soft limit the server was started with
  rlim_t after = 0;   // the soft limit now
  rlim_t hard = 0;
  std::string error;  // why it could not be raised; "" when it was or already was at the hard limit
};

// Raises the soft limit on open descriptors to the hard limit.
DescriptorLimit raiseDescriptorLimit();

// Raises the backlog of every socket the process listens on now to `backlog` (the kernel caps
// it at net.core.somaxconn). Call it when the ORB's endpoints are bound and nothing else
// listens yet: after resolving the RootPOA, before the metrics endpoint starts. Returns how
// many sockets it raised; logs nothing.
int raiseListenBacklogs(int backlog);

// How long a connection may stay idle, or stalled part-way through a message header, before
// omniORB closes it: -ORBinConScanPeriod, checked every -ORBscanGranularity second.
constexpr int kIdleConnectionSeconds = 4;

class Intake {
 public:
  // Installs the connection interceptors on the initialised ORB, logs the bounds and starts a
  // thread that notes the connections that stalled. maxConnections: --max-connections; the
  // bound applied is lower when the descriptor limit leaves less room (the descriptors open now
  // and a margin are kept for the server's own use).
  Intake(long maxConnections, const DescriptorLimit& descriptors);
  // Stops the thread. The interceptors stay until the ORB is destroyed (omniORB cannot remove
  // them while it serves); they find nothing more to do.
  ~Intake();
  Intake(const Intake&) = delete;
  Intake& operator=(const Intake&) = delete;

  // The bound applied on client connections.
  long maxConnections() const { return maxConnections_; }

  // Descriptors the process has open now (counted in /proc/self/fd).
  static long openDescriptors();

 private:
  void loop();
  long maxConnections_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_INTAKE_H
