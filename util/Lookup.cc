// Lookup.cc - service and event channel lookup through the ORB and the Naming Service.
#include "qmr/util/Lookup.h"

#include <strings.h>

#include "qmr/util/Log.h"
#include "qmr/util/Orb.h"

namespace qmr_util {
namespace {

// Exactly the texts that omniORB's string_to_object takes: "IOR:" in any letter case,
// "corbaloc:" and "corbaname:" in lower case only.
bool isReferenceText(const std::string& name) {
  if (strncasecmp(name.c_str(), "IOR:", 4) == 0) return true;
  return name.compare(0, 9, "corbaloc:") == 0 || name.compare(0, 10, "corbaname:") == 0;
}

[[noreturn]] void noNameService() {
  Log::primary()->error(
      "No NameService initial reference is configured: start the program with "
      "-ORBInitRef NameService=corbaloc:omniunix:SOCKET:/NameService, or set it in "
      "/etc/qmr/orb.conf or the file QMR_ORB_CONF names");
  throw CORBA::INITIALIZE(0, CORBA::COMPLETED_NO);
}

}  // namespace

CosNaming::NamingContextExt_ptr rootContext() {
  CORBA::Object_var obj;
  try {
    obj = Orb::get()->resolve_initial_references("NameService");
  } catch (CORBA::ORB::InvalidName&) {
    noNameService();
  } catch (CORBA::NO_RESOURCES& ex) {
    // omniORB's answer when nothing configures a name it knows (NameService among them).
    if (ex.minor() != omni::NO_RESOURCES_InitialRefNotFound) throw;
    noNameService();
  }
  CosNaming::NamingContextExt_var root = CosNaming::NamingContextExt::_narrow(obj);
  if (CORBA::is_nil(root)) {
    Log::primary()->error("The NameService initial reference is not a naming context");
    throw CORBA::INITIALIZE(0, CORBA::COMPLETED_NO);
  }
  return root._retn();
}

CORBA::Object_ptr raw_lookup(const std::string& name) {
  if (isReferenceText(name)) return Orb::get()->string_to_object(name.c_str());

  CosNaming::NamingContextExt_var root = rootContext();
  try {
    CosNaming::Name_var path = root->to_name(name.c_str());
    return root->resolve(path);
  } catch (CosNaming::NamingContext::NotFound&) {
    return CORBA::Object::_nil();
  } catch (CosNaming::NamingContext::InvalidName&) {
    Log::primary()->error("'%s' is not a valid Naming Service name", name.c_str());
    return CORBA::Object::_nil();
  } catch (CosNaming::NamingContext::CannotProceed&) {
    Log::primary()->error("The Naming Service cannot proceed resolving '%s'", name.c_str());
    return CORBA::Object::_nil();
  }
}

CosEventChannelAdmin::ProxyPushConsumer_ptr get_push_consumer(const std::string& channel) {
  CORBA::Object_var obj = raw_lookup(channel);
  if (CORBA::is_nil(obj)) return CosEventChannelAdmin::ProxyPushConsumer::_nil();
  CosEventChannelAdmin::EventChannel_var ec = CosEventChannelAdmin::EventChannel::_narrow(obj);
  if (CORBA::is_nil(ec)) return CosEventChannelAdmin::ProxyPushConsumer::_nil();

  CosEventChannelAdmin::SupplierAdmin_var admin = ec->for_suppliers();
  CosEventChannelAdmin::ProxyPushConsumer_var consumer = admin->obtain_push_consumer();
  try {
    consumer->connect_push_supplier(CosEventComm::PushSupplier::_nil());
  } catch (CosEventChannelAdmin::AlreadyConnected&) {
    // A proxy just obtained is never connected; if the channel says otherwise, it is usable.
  }
  return consumer._retn();
}

}  // namespace qmr_util
