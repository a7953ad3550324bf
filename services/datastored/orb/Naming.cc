// Naming.cc - resolving the Naming Service, rebinding and unbinding the data store's name.
#include "orb/Naming.h"

#include "qmr/util/Lookup.h"

namespace qmr_datastored {
namespace {

std::string unreachable(const std::string& hint, const CORBA::Exception& e) {
  return "cannot reach the Naming Service at " + hint + " (" + e._name() +
         "): start omniNames there, or point -ORBInitRef NameService=corbaloc::HOST:PORT/"
         "NameService at a running one";
}

}  // namespace

CosNaming::NamingContextExt_ptr rootContext(const std::string& hint) {
  try {
    return qmr_util::rootContext();
  } catch (const CORBA::INITIALIZE&) {
    throw NamingError("no usable Naming Service reference is configured (" + hint +
                      "): pass -ORBInitRef NameService=corbaloc::127.0.0.1:PORT/NameService");
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
