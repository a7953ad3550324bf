// TestServer.cc - bindings_test_server: GpiInterface servants, so that RemoteCallTest calls the
// generated stubs and skeletons over IIOP on loopback.
//
//   bindings_test_server [-ORB options]
//
// Prints "NAME IOR" lines on stdout for its servants (gpi, and gpi-faulty, which raises
// InvalidPin from every operation, whether the operation declares it or not), then "ready";
// runs until killed.
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "qmr/ClientCore/GpiInterface.hh"
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
