// TestServer.cc - bindings_test_server: servants of the five ClientCore interfaces, so that
// RemoteCallTest calls the generated stubs and skeletons over IIOP on loopback.
//
//   bindings_test_server [-ORB options]
//
// Prints "NAME IOR" lines on stdout for its servants (gpi, renderd, vspoold, datastore,
// session, and the faulty gpi-faulty and session-faulty), then "ready"; runs until killed. A
// faulty servant raises its interface's user exception from every operation, whether the
// operation declares it or not.
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "qmr/ClientCore/DataStore.hh"
#include "qmr/ClientCore/DataStoreSession.hh"
#include "qmr/ClientCore/GpiInterface.hh"
#include "qmr/ClientCore/Renderd.hh"
#include "qmr/ClientCore/Vspoold.hh"
#include "qmr/util/Orb.h"

namespace {

// Four pins, none active; faulty: every operation raises InvalidPin(pin, 4).
class Gpi : public POA_ClientCore::GpiInterface {
 public:
  explicit Gpi(bool faulty) : faulty_(faulty) {}
  CORBA::UShort numPins() override { return check(0), kPins; }
  void activate(CORBA::UShort pin) override { check(pin); }
  void deactivate(CORBA::UShort pin) override { check(pin); }
  CORBA::Boolean isActive(CORBA::UShort pin) override { return check(pin), false; }

 private:
  void check(CORBA::UShort pin) {
    if (faulty_ || pin >= kPins) throw ClientCore::GpiInterface::InvalidPin(pin, kPins);
  }
  static constexpr CORBA::UShort kPins = 4;
  bool faulty_;
};

class Renderd : public POA_ClientCore::Renderd {
 public:
  void activateLayer(const char*) override {}
  void deactivateLayer(const char*) override {}
  void removeLayer(const char*) override {}
  void execPresentationScript(const char*) override {}
  void execPythonCommand(const char*) override {}
};

class Vspoold : public POA_ClientCore::Vspoold {
 public:
  void addFile(const char*) override {}
  void setLooping(CORBA::Long) override {}
  void flush() override {}
};

// Holds nothing; faulty: every operation raises TransactionSizeExceeded.
class Session : public POA_ClientCore::DataStoreSession {
 public:
  explicit Session(bool faulty) : faulty_(faulty) {}
  void get(const ClientCore::StringList& keys,
           ClientCore::DataStoreSession::ValueList_out values) override {
    check();
    values = new ClientCore::DataStoreSession::ValueList;
  }
  void set(const ClientCore::DataStoreSession::EntryList&) override { check(); }
  void remove(const ClientCore::StringList&) override { check(); }
  void commit() override { check(); }
  void abort() override { check(); }

 private:
  void check() {
    if (faulty_) throw ClientCore::DataStoreSession::TransactionSizeExceeded();
  }
  bool faulty_;
};

class DataStore : public POA_ClientCore::DataStore {
 public:
  void checkDataFile() override {}
  ClientCore::DataStoreSession_ptr startSession() override {
    return ClientCore::DataStoreSession::_nil();
  }
  void endSession(ClientCore::DataStoreSession_ptr) override {}
};

CORBA::Object_ptr activate(PortableServer::POA_ptr poa, PortableServer::ServantBase* servant) {
  PortableServer::ObjectId_var id = poa->activate_object(servant);
  servant->_remove_ref();  // the POA owns it now
  return poa->id_to_reference(id);
}

}  // namespace

int main(int argc, char** argv) {
  qmr_util::OrbOptions options;
  std::vector<std::string> rest;
  std::string error;
  if (!options.parse(argc, argv, &rest, &error) || !rest.empty()) {
    std::cerr << "usage: bindings_test_server [-ORB options] " << error << std::endl;
    return 2;
  }
  CORBA::ORB_var orb = qmr_util::Orb::init(argv[0], options);
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
  refs["datastore"] = activate(poa, new DataStore);
  for (auto& entry : refs) {
    CORBA::String_var ior = orb->object_to_string(entry.second);
    std::cout << entry.first << " " << ior.in() << std::endl;
  }
  std::cout << "ready" << std::endl;
  orb->run();
  qmr_util::Orb::release();
  orb->destroy();
  return 0;
}
