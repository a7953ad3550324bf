// FaultyStore.h - an in-process data store whose faults a test chooses: startSession can raise
// or answer nil, and each session operation can raise a system exception, raise
// TransactionSizeExceeded (collocated calls let it through even where the contract does not
// declare it) or answer a read with too few values. It records what reached it, so tests can
// check what the manager sent. Everything else behaves like a small store: sessions buffer
// writes, commit applies them.
#ifndef QMR_TESTS_CLIENT_FAULTYSTORE_H
#define QMR_TESTS_CLIENT_FAULTYSTORE_H

#include <DataStore.hh>
#include <DataStoreSession.hh>

#include <map>
#include <string>
#include <vector>

namespace qmr_test {

enum class Fault { kNone, kSystem, kTooBig, kShortReply };

class FaultyStore;

class FaultySession : public POA_ClientCore::DataStoreSession {
 public:
  FaultySession(FaultyStore* store, int number) : store_(store), number_(number) {}

  void get(const ClientCore::StringList& keys,
           ClientCore::DataStoreSession::ValueList_out values) override;
  void set(const ClientCore::DataStoreSession::EntryList& entries) override;
  void remove(const ClientCore::StringList& keys) override;
  void commit() override;
  void abort() override;

  int number() const { return number_; }

 private:
  void maybeFail();

  FaultyStore* store_;
  int number_;  // 1 for the first session the store started, 2 for the next, ...
  std::map<std::string, std::pair<bool, std::string>> pending_;  // key -> (present, data)
};

class FaultyStore : public POA_ClientCore::DataStore {
 public:
  enum class Start { kNormal, kRaise, kNil };

  explicit FaultyStore(PortableServer::POA_ptr poa);
  ~FaultyStore() override;

  void checkDataFile() override {}
  ClientCore::DataStoreSession_ptr startSession() override;
  void endSession(ClientCore::DataStoreSession_ptr session) override;

  // Set by tests.
  Start start = Start::kNormal;
  Fault fault = Fault::kNone;  // applies to every session call until changed

  // Observed by tests.
  int started = 0;
  std::vector<int> ended;  // session numbers passed to endSession; 0 for nil or unknown
  int lastCaller = 0;      // number of the session that received the last call
  std::vector<std::string> lastKeys;  // keys of the last get or remove, as received
  ClientCore::DataStoreSession::EntryList lastEntries;
  std::map<std::string, std::string> committed;

 private:
  friend class FaultySession;
  PortableServer::POA_var poa_;
  std::vector<FaultySession*> sessions_;
};

}  // namespace qmr_test

#endif  // QMR_TESTS_CLIENT_FAULTYSTORE_H
