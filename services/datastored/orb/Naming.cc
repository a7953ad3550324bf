// Naming.cc - resolving the Naming Service, rebinding and unbinding the data store's name.
#include "orb/Naming.h"

#include <omniORB4/omniORB.h>

#include "qmr/util/Lookup.h"

namespace qmr_datastored {
namespace {

std::string unreachable(const std::string& hint, const CORBA::Exception& e) {
  return "cannot reach the Naming Service at " + hint + " (" + e._name() +
         "): start the naming service there (systemctl start qmr-names), check that this "
         "user may connect to it (group qmr), or point -ORBInitRef NameService=corbaloc:... at "
         "a running one";
}

}  // namespace

CosNaming::NamingContextExt_ptr rootContext(const std::string& hint) {
  try {
    return qmr_util::rootContext();
  } catch (const CORBA::INITIALIZE&) {
    throw NamingError("no usable Naming Service reference is configured (" + hint +
                      "): pass -ORBInitRef NameService=corbaloc:omniunix:SOCKET:/NameService, or set it "
                      "in /etc/qmr/orb.conf");
  } catch (const CORBA::SystemException& e) {
    throw NamingError(unreachable(hint, e));
  }
}

void rebindName(CosNaming::NamingContextExt_ptr root, const std::string& name,
                CORBA::Object_ptr obj) {
  try {
    CosNaming::Name_var path = root->to_name(name.c_str());
    // Parent contexts of a compound name ("site/DataStore") are created when missing.
    for (CORBA::ULong depth = 1; depth < path->length(); ++depth) {
      CosNaming::Name prefix;
      prefix.length(depth);
      for (CORBA::ULong i = 0; i < depth; ++i) prefix[i] = path[i];
      try {
        CosNaming::NamingContext_var created = root->bind_new_context(prefix);
      } catch (const CosNaming::NamingContext::AlreadyBound&) {
      }
    }
    root->rebind(path.in(), obj);
  } catch (const CosNaming::NamingContext::InvalidName&) {
    throw NamingError("'" + name + "' is not a valid Naming Service name; give --name a name "
                      "such as DataStore or site/DataStore");
  } catch (const CosNaming::NamingContext::NotFound&) {
    throw NamingError("cannot bind '" + name + "': a part of the path is bound to an object "
                      "that is not a naming context");
  } catch (const CosNaming::NamingContext::CannotProceed&) {
    throw NamingError("the Naming Service cannot proceed with binding '" + name + "'");
  } catch (const CORBA::SystemException& e) {
    throw NamingError("binding '" + name + "' in the Naming Service failed (" + e._name() +
                      "): is omniNames still running?");
  }
}

bool boundToLiveObject(CosNaming::NamingContextExt_ptr root, const std::string& name,
                       unsigned long timeoutMs) {
  CORBA::Object_var bound;
  try {
    CosNaming::Name_var path = root->to_name(name.c_str());
    bound = root->resolve(path.in());
  } catch (const CosNaming::NamingContext::NotFound&) {
    return false;
  } catch (const CosNaming::NamingContext::InvalidName&) {
    return false;  // rebindName() says what is wrong with it
  } catch (const CosNaming::NamingContext::CannotProceed&) {
    throw NamingError("the Naming Service cannot proceed with resolving '" + name + "'");
  } catch (const CORBA::SystemException& e) {
    throw NamingError("resolving '" + name + "' in the Naming Service failed (" + e._name() +
                      "): is omniNames still running?");
  }
  if (CORBA::is_nil(bound.in())) return false;
  omniORB::setClientCallTimeout(bound.in(), timeoutMs);
  try {
    return !bound->_non_existent();
  } catch (const CORBA::TIMEOUT&) {
    return true;  // a server that holds its socket but does not answer has not gone away
  } catch (const CORBA::SystemException&) {
    return false;  // TRANSIENT, COMM_FAILURE, ...: nothing serves it any more
  }
}

bool unbindIfOurs(CosNaming::NamingContextExt_ptr root, const std::string& name,
                  CORBA::Object_ptr obj) {
  try {
    CosNaming::Name_var path = root->to_name(name.c_str());
    CORBA::Object_var bound = root->resolve(path.in());
    if (!obj->_is_equivalent(bound.in())) return false;
    root->unbind(path.in());
    return true;
  } catch (const CosNaming::NamingContext::NotFound&) {
    return false;
  } catch (const CosNaming::NamingContext::InvalidName&) {
    return false;
  } catch (const CosNaming::NamingContext::CannotProceed&) {
    throw NamingError("the Naming Service cannot proceed with unbinding '" + name + "'");
  } catch (const CORBA::SystemException& e) {
    throw NamingError("unbinding '" + name + "' from the Naming Service failed (" +
                      e._name() + ")");
  }
}

}  // namespace qmr_datastored
