// TestServants.h - servants of all five ClientCore interfaces for the binding tests, hosted in
// the test process (collocated calls) or in bindings_test_server (calls over IIOP).
//
// Every call is appended to a journal ("Renderd.activateLayer(base)"); the server prints each
// journal line to stdout, so a test reads what the servant received from the server's log. A
// servant built with `faulty` raises what its operation does not declare, so tests can watch
// how skeletons and stubs report it. Not thread-safe beyond one call at a time per servant.
#ifndef QMR_TESTS_BINDINGS_TESTSERVANTS_H
#define QMR_TESTS_BINDINGS_TESTSERVANTS_H

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "DataStore.hh"
#include "DataStoreSession.hh"
#include "GpiInterface.hh"
#include "Renderd.hh"
#include "Vspoold.hh"

namespace qmr_test {

// Where servants report their calls. Thread-safe.
class Journal {
 public:
  explicit Journal(std::function<void(const std::string&)> sink = nullptr) : sink_(sink) {}
  void add(const std::string& line);
  std::vector<std::string> lines() const;

 private:
  std::function<void(const std::string&)> sink_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;  // guarded by mutex_
};

// Four pins. Out-of-range pins raise InvalidPin(pin, 4); faulty: numPins raises InvalidPin.
class TestGpi : public POA_ClientCore::GpiInterface {
 public:
  TestGpi(Journal& journal, bool faulty) : journal_(journal), faulty_(faulty) {}
  CORBA::UShort numPins() override;
  void activate(CORBA::UShort pin) override;
  void deactivate(CORBA::UShort pin) override;
  CORBA::Boolean isActive(CORBA::UShort pin) override;

  static constexpr CORBA::UShort kPins = 4;

 private:
  void check(CORBA::UShort pin);
  Journal& journal_;
  bool faulty_;
  bool active_[kPins] = {};
};

// Journals every call; faulty: execPythonCommand throws a std::runtime_error.
class TestRenderd : public POA_ClientCore::Renderd {
 public:
  TestRenderd(Journal& journal, bool faulty) : journal_(journal), faulty_(faulty) {}
  void activateLayer(const char* layer) override;
  void deactivateLayer(const char* layer) override;
  void removeLayer(const char* layer) override;
  void execPresentationScript(const char* script) override;
  void execPythonCommand(const char* command) override;

 private:
  Journal& journal_;
  bool faulty_;
};

class TestVspoold : public POA_ClientCore::Vspoold {
 public:
  explicit TestVspoold(Journal& journal) : journal_(journal) {}
  void addFile(const char* file) override;
  void setLooping(CORBA::Long looping) override;
  void flush() override;

 private:
  Journal& journal_;
};

// A key/value map. set and remove of more than kMaxBatch items raise TransactionSizeExceeded.
// Faulty: get and commit raise TransactionSizeExceeded (undeclared there), abort raises
// NO_PERMISSION(7, COMPLETED_YES).
class TestSession : public POA_ClientCore::DataStoreSession {
 public:
  TestSession(Journal& journal, bool faulty) : journal_(journal), faulty_(faulty) {}
  void get(const ClientCore::StringList& keys,
           ClientCore::DataStoreSession::ValueList_out values) override;
  void set(const ClientCore::DataStoreSession::EntryList& entries) override;
  void remove(const ClientCore::StringList& keys) override;
  void commit() override;
  void abort() override;

  static constexpr CORBA::ULong kMaxBatch = 3;

 private:
  Journal& journal_;
  bool faulty_;
  std::map<std::string, std::string> data_;
};

// Hands out `session` from startSession; endSession journals whether it got that one back.
class TestDataStore : public POA_ClientCore::DataStore {
 public:
  TestDataStore(Journal& journal, ClientCore::DataStoreSession_ptr session)
      : journal_(journal), session_(ClientCore::DataStoreSession::_duplicate(session)) {}
  void checkDataFile() override;
  ClientCore::DataStoreSession_ptr startSession() override;
  void endSession(ClientCore::DataStoreSession_ptr session) override;

 private:
  Journal& journal_;
  ClientCore::DataStoreSession_var session_;
};

// One servant of each kind (and the faulty ones), activated in `poa`, with their references
// by name: gpi, gpi-faulty, renderd, renderd-faulty, vspoold, datastore, session,
// session-faulty. The POA owns the servants.
std::map<std::string, CORBA::Object_var> activateAll(PortableServer::POA_ptr poa, Journal& journal);

}  // namespace qmr_test

#endif  // QMR_TESTS_BINDINGS_TESTSERVANTS_H
