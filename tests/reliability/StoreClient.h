// StoreClient.h - a direct client of one qmr-datastored (no naming, no manager) for tests that
// talk to the server alone: open a session from the server's IOR, write, commit, read back.
//
// Not thread-safe: one StoreClient per thread.
#ifndef QMR_TESTS_STORECLIENT_H
#define QMR_TESTS_STORECLIENT_H

#include <DataStore.hh>
#include <DataStoreSession.hh>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Harness.h"

namespace qmr_test {

class StoreClient {
 public:
  // Resolves the server's reference from its IOR file and starts a session. CORBA exceptions
  // pass to the caller.
  explicit StoreClient(const DataStoreServer& server);
  // Ends the session; any exception (server gone) is swallowed.
  ~StoreClient();
  StoreClient(const StoreClient&) = delete;
  StoreClient& operator=(const StoreClient&) = delete;

  // Writes key=value with no expiry into the session; exceptions pass through.
  void set(const std::map<std::string, std::string>& entries);
  void commit() { session_->commit(); }
  // One value per key in request order; nullopt for a key the store does not hold.
  std::vector<std::optional<std::string>> get(const std::vector<std::string>& keys);
  // Borrowed references, valid while this object lives.
  ClientCore::DataStore_ptr store() { return store_.in(); }
  ClientCore::DataStoreSession_ptr session() { return session_.in(); }

 private:
  ClientCore::DataStore_var store_;
  ClientCore::DataStoreSession_var session_;
};

// True when a fresh client can write, commit and read back a value on `server` within a few
// seconds: the proof that the server still serves after whatever a test did to it.
::testing::AssertionResult ServesAFreshClient(const DataStoreServer& server);

}  // namespace qmr_test

#endif  // QMR_TESTS_STORECLIENT_H
