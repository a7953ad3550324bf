// Lookup.h - finding services and event channels by name.
//
// A name is either an object reference text that the ORB's string_to_object accepts ("IOR:...",
// "corbaloc:...", "corbaname:...") or a Naming Service name in stringified form ("DataStore",
// "appliance/DataStore.svc"), resolved against the process ORB's "NameService" initial
// reference (-ORBInitRef NameService=corbaloc::127.0.0.1:PORT/NameService).
//
// The functions return new references that the caller owns (hold them in a _var); nil means
// that nothing usable is registered under the name. Not thread-safe with Orb::set()/release().
#ifndef QMR_UTIL_LOOKUP_H
#define QMR_UTIL_LOOKUP_H

#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>
#include <COS/CosEventChannelAdmin.hh>

#include <string>

namespace qmr_util {

// The root context of the Naming Service named by the process ORB's "NameService" initial
// reference. When there is no such reference, or it is not a naming context, logs an error
// line saying how to configure one and raises CORBA::INITIALIZE; system exceptions of reaching
// the Naming Service (TRANSIENT, ...) pass through.
CosNaming::NamingContextExt_ptr rootContext();

// The object registered under `name`, or nil when nothing is bound there (or the name is not a
// valid Naming Service name, which is logged). A naming service that cannot be reached, or a
// malformed reference text, raises the ORB's system exception (TRANSIENT, BAD_PARAM, ...);
// no NameService initial reference raises CORBA::INITIALIZE after an error log line saying how
// to configure one.
CORBA::Object_ptr raw_lookup(const std::string& name);

// A ProxyPushConsumer of the event channel registered under `channel`, already connected (with
// a nil supplier) so that push() works. Nil when nothing is bound under the name or the object
// is not an event channel. System exceptions from the ORB pass through.
CosEventChannelAdmin::ProxyPushConsumer_ptr get_push_consumer(const std::string& channel);

}  // namespace qmr_util

#endif  // QMR_UTIL_LOOKUP_H
