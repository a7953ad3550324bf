// Limits.h - the server's limits, one field per command-line flag. Their defaults, least
// values and help live once, in the flag table of Options.cc, which fills this struct; the
// sessions, the registry, the memory budgets and the store each read the fields they apply.
#ifndef QMR_DATASTORED_LIMITS_H
#define QMR_DATASTORED_LIMITS_H

namespace qmr_datastored {

struct Limits {
  long maxTransaction = 0;        // --max-transaction: distinct keys pending per session
  long maxTransactionBytes = 0;   // --max-transaction-bytes: key and value bytes per session
  long maxSessions = 0;           // --max-sessions: open sessions at once
  long maxSessionsPerClient = 0;  // --max-sessions-per-client: per client connection
  long maxPendingBytes = 0;       // --max-pending-bytes: pending bytes of all sessions
  long maxRequestMemory = 0;      // --max-request-memory: requests being served at once
  double sessionTimeout = 0;      // --session-timeout: idle seconds; 0 = never reaped
  long maxKeyBytes = 0;           // --max-key-bytes: longest key
  long maxValueBytes = 0;         // --max-value-bytes: longest value
  long maxMessageBytes = 0;       // --max-message-bytes: the ORB's limit on one GIOP message
  long maxMemoryBytes = 0;        // --max-memory-bytes: committed entries in memory; 0 = none
  long busyTimeoutMs = 0;         // --busy-timeout: wait for a lock held by another process
  double dbTimeout = 0;           // --db-timeout: seconds any wait on PostgreSQL may last
  long maxConnections = 0;        // --max-connections: client connections at once

  // The largest get reply to build: room is left for the GIOP and reply headers, so that a
  // reply under this size is also a message under the ORB's limit.
  long maxReplyBytes() const { return maxMessageBytes - 1024; }
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_LIMITS_H
