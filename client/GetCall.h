// GetCall.h - DataStoreSession::get made without the generated proxy: the key list goes on the
// wire straight from the caller's key set, and each value of the reply is read straight into the
// string that keeps it, so a read allocates no sequence and no CORBA string and copies each
// value once. Internal to the library (DataStoreManager's reads).
#ifndef QMR_CLIENT_GETCALL_H
#define QMR_CLIENT_GETCALL_H

#include <omniORB4/CORBA.h>

#include <set>
#include <string>

#include "qmr/ClientCore/DataStoreSession.hh"

namespace QMR_Client {

// Takes the values of one reply, in the order of the keys. A key travels up to its first NUL
// byte; when one of them was shortened so, every key handed back is the shortened text (keys
// may then repeat and come in any order), and it is valid only during the call that hands it
// over. Otherwise each key handed back is the element of the caller's key set.
class ValueReceiver {
 public:
  virtual ~ValueReceiver() = default;
  // A reply with at least one value per key begins; `shortened`: a key was shortened at a NUL
  // byte. Called again if omniORB retries the call: what the earlier start received is void.
  virtual void start(bool shortened) = 0;
  // `key` has a value: the string to read it into (what it held goes).
  virtual std::string& found(const std::string& key) = 0;
  // `key` has no value.
  virtual void absent(const std::string& key) = 0;
};

// Calls get() on `session` (borrowed; nil raises CORBA::INV_OBJREF, as a generated proxy does)
// for `keys` (not empty) and hands the values of the reply to `receiver`: one per key, in the
// order of the keys, when the reply holds at least as many values as keys (values beyond them
// are read and dropped); with fewer the receiver is not called. Returns how many values the
// reply held. CORBA exceptions of the call pass to the caller, possibly after some values were
// handed over: the receiver keeps them apart until the call has returned.
CORBA::ULong getInto(ClientCore::DataStoreSession_ptr session, const std::set<std::string>& keys,
                     ValueReceiver& receiver);

}  // namespace QMR_Client

#endif  // QMR_CLIENT_GETCALL_H
