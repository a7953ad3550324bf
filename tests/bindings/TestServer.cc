// TestServer.cc - bindings_test_server: servants of the five ClientCore interfaces, so that
// RemoteCallTest calls the generated stubs and skeletons over IIOP on loopback.
//
//   bindings_test_server [-ORB options]
//
// Prints "NAME IOR" lines on stdout for its servants (gpi, renderd, vspoold, datastore,
// session, and the faulty gpi-faulty and session-faulty), then "ready", then one line for each
// call a servant receives ("Renderd.activateLayer(base)"); runs until killed. A faulty servant
// raises its interface's user exception from every operation, whether the operation declares it or
// not.
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "qmr/ClientCore/DataStore.hh"
#include "qmr/ClientCore/DataStoreSession.hh"
#include "qmr/ClientCore/GpiInterface.hh"
#include "qmr/ClientCore/Renderd.hh"
#include "qmr/ClientCore/Vspoold.hh"
#include "qmr/util/Transport.h"

namespace {

using ClientCore::DataStoreSession;

void say(const std::string& line) { std::cout << line << std::endl; }

// Four pins; faulty: every operation raises InvalidPin(pin, 4).
class Gpi : public POA_ClientCore::GpiInterface {
 public:
  explicit Gpi(bool faulty) : faulty_(faulty) {}
  CORBA::UShort numPins() override {
    check(0);
    return kPins;
  }
  void activate(CORBA::UShort pin) override {
    check(pin);
    active_.insert(pin);
  }
  void deactivate(CORBA::UShort pin) override {
    check(pin);
    active_.erase(pin);
  }
  CORBA::Boolean isActive(CORBA::UShort pin) override {
    check(pin);
    return active_.count(pin) > 0;
  }

 private:
  void check(CORBA::UShort pin) {
    if (faulty_ || pin >= kPins) throw ClientCore::GpiInterface::InvalidPin(pin, kPins);
  }
  static constexpr CORBA::UShort kPins = 4;
  bool faulty_;
  std::set<CORBA::UShort> active_;
};

class Renderd : public POA_ClientCore::Renderd {
 public:
  void activateLayer(const char* layer) override { say("Renderd.activateLayer", layer); }
  void deactivateLayer(const char* layer) override { say("Renderd.deactivateLayer", layer); }
  void removeLayer(const char* layer) override { say("Renderd.removeLayer", layer); }
  void execPresentationScript(const char* s) override { say("Renderd.execPresentationScript", s); }
  void execPythonCommand(const char* command) override {
    say("Renderd.execPythonCommand", command);
  }

 private:
  static void say(const char* op, const char* arg) { ::say(std::string(op) + "(" + arg + ")"); }
};

class Vspoold : public POA_ClientCore::Vspoold {
 public:
  void addFile(const char* file) override { say(std::string("Vspoold.addFile(") + file + ")"); }
  void setLooping(CORBA::Long looping) override {
    say("Vspoold.setLooping(" + std::to_string(looping) + ")");
  }
  void flush() override { say("Vspoold.flush()"); }
};

// A key/value map; faulty: every operation raises TransactionSizeExceeded.
class Session : public POA_ClientCore::DataStoreSession {
 public:
  explicit Session(bool faulty) : faulty_(faulty) {}
  void get(const ClientCore::StringList& keys,
           ClientCore::DataStoreSession::ValueList_out values) override {
    call("get", keys.length());
    values = new ClientCore::DataStoreSession::ValueList(keys.length());
    values->length(keys.length());
    for (CORBA::ULong i = 0; i < keys.length(); ++i) {
      auto found = data_.find(keys[i].in());
      values[i].valid = found != data_.end();
      values[i].data = found != data_.end() ? found->second.c_str() : "";
    }
  }
  void set(const ClientCore::DataStoreSession::EntryList& entries) override {
    call("set", entries.length());
    for (CORBA::ULong i = 0; i < entries.length(); ++i) {
      data_[entries[i].key.in()] = entries[i].data.in();
      say(std::string("  ") + entries[i].key.in() + " expir " + std::to_string(entries[i].expir));
    }
  }
  void remove(const ClientCore::StringList& keys) override {
    call("remove", keys.length());
    for (CORBA::ULong i = 0; i < keys.length(); ++i) data_.erase(keys[i].in());
  }
  void commit() override { call("commit", 0); }
  void abort() override { call("abort", 0); }

 private:
  void call(const char* op, CORBA::ULong count) {
    say(std::string("Session.") + op + "(" + std::to_string(count) + ")");
    if (faulty_) throw ClientCore::DataStoreSession::TransactionSizeExceeded();
  }
  bool faulty_;
  std::map<std::string, std::string> data_;
};

// Hands out `session`; endSession says whether it got that one back.
class DataStore : public POA_ClientCore::DataStore {
 public:
  explicit DataStore(ClientCore::DataStoreSession_ptr session)
      : session_(ClientCore::DataStoreSession::_duplicate(session)) {}
  void checkDataFile() override { say("DataStore.checkDataFile()"); }
  ClientCore::DataStoreSession_ptr startSession() override {
    say("DataStore.startSession()");
    return ClientCore::DataStoreSession::_duplicate(session_);
  }
  void endSession(ClientCore::DataStoreSession_ptr session) override {
    bool own = !CORBA::is_nil(session) && session->_is_equivalent(session_);
    say(std::string("DataStore.endSession(") + (own ? "own" : "other") + ")");
  }

 private:
  ClientCore::DataStoreSession_var session_;
};

CORBA::Object_ptr activate(PortableServer::POA_ptr poa, PortableServer::ServantBase* servant) {
  PortableServer::ObjectId_var id = poa->activate_object(servant);
  servant->_remove_ref();  // the POA owns it now
  return poa->id_to_reference(id);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string endpoint = "giop:tcp:127.0.0.1:";
  args.push_back(const_cast<char*>("-ORBendPoint"));
  args.push_back(&endpoint[0]);
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  qmr_util::tuneTransport();
  CORBA::ORB_var orb = CORBA::ORB_init(n, args.data());
  CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
  PortableServer::POAManager_var manager = poa->the_POAManager();
  manager->activate();

  std::map<std::string, CORBA::Object_var> refs;
  refs["gpi"] = activate(poa, new Gpi(false));
  refs["gpi-faulty"] = activate(poa, new Gpi(true));
  refs["renderd"] = activate(poa, new Renderd);
  refs["vspoold"] = activate(poa, new Vspoold);
  refs["session"] = activate(poa, new Session(false));
  refs["session-faulty"] = activate(poa, new Session(true));
  ClientCore::DataStoreSession_var session = DataStoreSession::_narrow(refs["session"]);
  refs["datastore"] = activate(poa, new DataStore(session));
  for (auto& entry : refs) {
    CORBA::String_var ior = orb->object_to_string(entry.second);
    say(entry.first + " " + ior.in());
  }
  say("ready");
  orb->run();
  orb->destroy();
  return 0;
}
