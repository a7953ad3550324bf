// Naming.h - registering the data store in the CORBA Naming Service.
//
// Errors are NamingError with a message that says what to check. Not thread-safe: start-up
// and shut-down use it from the main thread.
#ifndef QMR_DATASTORED_NAMING_H
#define QMR_DATASTORED_NAMING_H

#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

#include <stdexcept>
#include <string>

namespace qmr_datastored {

class NamingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The root context from the process ORB's "NameService" initial reference
// (qmr_util::rootContext); a new reference that the caller owns. Throws NamingError when there
// is none or it cannot be reached; `hint` names the reference in the message.
CosNaming::NamingContextExt_ptr rootContext(const std::string& hint);

// True when `name` is bound to an object that answers a call within timeoutMs: a server that
// runs. A binding whose server is gone (no connection, or the object is not there) is stale:
// false, as for no binding. Throws NamingError when the Naming Service fails.
bool boundToLiveObject(CosNaming::NamingContextExt_ptr root, const std::string& name,
                       unsigned long timeoutMs);

// Binds `obj` under the stringified name `name` ("DataStore", "a/b.kind"), replacing what was
// bound there and creating missing parent contexts. Throws NamingError.
void rebindName(CosNaming::NamingContextExt_ptr root, const std::string& name,
                CORBA::Object_ptr obj);

// Removes the binding of `name` when it still refers to `obj` (a newer server may have taken
// the name over). Returns true when it removed it. Throws NamingError.
bool unbindIfOurs(CosNaming::NamingContextExt_ptr root, const std::string& name,
                  CORBA::Object_ptr obj);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_NAMING_H
