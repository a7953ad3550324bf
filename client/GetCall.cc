// GetCall.cc - DataStoreSession::get through a call descriptor of its own: what the generated
// proxy sends and reads, without its StringList and ValueList. Measured with qmr-bench-corba
// (client processor time per get): see the commit that added this file.
#include "GetCall.h"

#include <omniORB4/callDescriptor.h>
#include <omniORB4/minorCode.h>

#include <cstring>
#include <type_traits>
#include <vector>

#include "OmniInternals.h"
#include "qmr/ClientCore/DataStoreSession.hh"

namespace QMR_Client {
namespace {

// This file restates the generated proxy of DataStoreSession::get: the operation's name, its
// one argument (a StringList) and its one out parameter (a ValueList of {boolean valid; string
// data}). A change of the IDL must break the build here, not the wire: the generated stub must
// still be get(in StringList, out ValueList), with Value's members of these types.
using Session = ClientCore::_objref_DataStoreSession;
static_assert(std::is_same<decltype(&Session::get),
                           void (Session::*)(const ClientCore::StringList&,
                                             ClientCore::DataStoreSession::ValueList_out)>::value,
              "DataStoreSession::get changed in the IDL: GetCall writes and reads it by hand");
static_assert(std::is_same<decltype(ClientCore::DataStoreSession::Value::valid),
                           CORBA::Boolean>::value &&
                  std::is_same<decltype(ClientCore::DataStoreSession::Value::data),
                               CORBA::String_member>::value,
              "DataStoreSession::Value changed in the IDL: GetCall reads it by hand");
// The operation name as the descriptor sends it, with its length including the NUL.
constexpr char kOperation[] = "get";

const char* const kNoUserExceptions[] = {nullptr};

// True when strings on `stream` travel in this process's own char code set. omniORB then copies
// their octets as they are, and so does this file; otherwise its converters do the work.
bool rawStrings(const cdrStream& stream) {
  const omni::omniCodeSet::TCS_C* tcs = stream.TCS_C();
  const CORBA::ULong native = qmr_util::omni_internals::nativeCharCodeSetId();
  return tcs != nullptr && native != 0 && tcs->id() == native;
}

[[noreturn]] void marshalError(CORBA::ULong minor) {
  throw CORBA::MARSHAL(minor, CORBA::COMPLETED_YES);
}

// Reads one string of a reply into `out`, reusing its room. A value that holds a NUL byte ends
// there, as it does when taken from a C string.
void readString(cdrStream& s, bool raw, std::string& out) {
  if (!raw) {
    CORBA::String_var text = s.unmarshalString();
    out = text.in();
    return;
  }
  const CORBA::ULong length = s.unmarshalULong();  // with the closing NUL
  if (length == 0) marshalError(omni::MARSHAL_StringNotEndWithNull);
  if (!s.checkInputOverrun(1, length)) marshalError(omni::MARSHAL_PassEndOfMessage);
  out.resize(length - 1);
  if (length > 1) {
    s.get_octet_array(reinterpret_cast<CORBA::Octet*>(&out[0]), static_cast<int>(length - 1));
  }
  if (s.unmarshalOctet() != 0) marshalError(omni::MARSHAL_StringNotEndWithNull);
  const void* nul = std::memchr(out.data(), '\0', out.size());
  if (nul != nullptr)
    out.resize(static_cast<std::size_t>(static_cast<const char*>(nul) - out.data()));
}

// Length of `key` on the wire: up to its first NUL byte.
std::size_t sentLength(const std::string& key, bool* shortened) {
  const void* nul = std::memchr(key.data(), '\0', key.size());
  if (nul == nullptr) return key.size();
  *shortened = true;
  return static_cast<std::size_t>(static_cast<const char*>(nul) - key.data());
}

class GetCall : public omniCallDescriptor {
 public:
  GetCall(const std::set<std::string>& keys, ValueReceiver& receiver)
      : omniCallDescriptor(localCall, kOperation, sizeof kOperation, 0, kNoUserExceptions, 0, 0),
        keys_(keys),
        receiver_(receiver) {}

  CORBA::ULong count() const { return count_; }

  // The request: the key list, as the generated proxy sends a StringList. Called again when
  // omniORB retries the call on a new connection.
  void marshalArguments(cdrStream& s) override {
    const bool raw = rawStrings(s);
    shortened_ = false;
    s.marshalULong(static_cast<CORBA::ULong>(keys_.size()));
    for (const std::string& key : keys_) {
      const std::size_t length = sentLength(key, &shortened_);
      if (raw) {
        s.marshalULong(static_cast<CORBA::ULong>(length + 1));
        s.put_octet_array(reinterpret_cast<const CORBA::Octet*>(key.c_str()),
                          static_cast<int>(length + 1));
      } else {
        s.marshalString(key.c_str());
      }
    }
  }

  // The reply: a sequence of (boolean valid, string data), one per key in the request's order.
  // Values beyond the keys are read (a malformed one fails the call) and dropped.
  void unmarshalReturnedValues(cdrStream& s) override {
    const bool raw = rawStrings(s);
    count_ = s.unmarshalULong();
    if (!s.checkInputOverrun(1, count_)) marshalError(omni::MARSHAL_PassEndOfMessage);
    const CORBA::ULong n = static_cast<CORBA::ULong>(keys_.size());
    CORBA::ULong i = 0;
    std::string unused;
    if (count_ >= n) {
      receiver_.start(shortened_);
      std::string shortKey;
      std::set<std::string>::const_iterator key = keys_.begin();
      for (; i < n; ++i, ++key) {
        const std::string& name = shortened_ ? shortKey.assign(key->c_str()) : *key;
        if (s.unmarshalBoolean()) {
          readString(s, raw, receiver_.found(name));
        } else {
          receiver_.absent(name);
          readString(s, raw, unused);  // an invalid value still carries a string
        }
      }
    }
    for (; i < count_; ++i) {
      s.unmarshalBoolean();
      readString(s, raw, unused);
    }
  }

 private:
  // A servant in this process: the generated interface with a StringList that borrows the keys'
  // bytes, the reply handed over from its ValueList.
  static void localCall(omniCallDescriptor* cd, omniServant* servant) {
    GetCall* call = static_cast<GetCall*>(cd);
    auto* impl = static_cast<ClientCore::_impl_DataStoreSession*>(
        servant->_ptrToInterface(ClientCore::DataStoreSession::_PD_repoId));
    const CORBA::ULong n = static_cast<CORBA::ULong>(call->keys_.size());
    std::vector<char*> pointers;
    pointers.reserve(n);
    bool shortened = false;
    for (const std::string& key : call->keys_) {
      sentLength(key, &shortened);
      pointers.push_back(const_cast<char*>(key.c_str()));  // release false: never written
    }
    const ClientCore::StringList list(n, n, pointers.data(), false);
    ClientCore::DataStoreSession::ValueList_var values;
    impl->get(list, values.out());
    call->count_ = values->length();
    if (call->count_ < n) return;
    ValueReceiver& receiver = call->receiver_;
    receiver.start(shortened);
    std::string shortKey;
    std::set<std::string>::const_iterator key = call->keys_.begin();
    for (CORBA::ULong i = 0; i < n; ++i, ++key) {
      const std::string& name = shortened ? shortKey.assign(key->c_str()) : *key;
      const ClientCore::DataStoreSession::Value& value = values[i];
      if (value.valid) {
        const char* data = value.data.in();
        receiver.found(name) = data != nullptr ? data : "";
      } else {
        receiver.absent(name);
      }
    }
  }

  const std::set<std::string>& keys_;
  ValueReceiver& receiver_;
  bool shortened_ = false;
  CORBA::ULong count_ = 0;
};

}  // namespace

CORBA::ULong getInto(ClientCore::DataStoreSession_ptr session, const std::set<std::string>& keys,
                     ValueReceiver& receiver) {
  if (CORBA::is_nil(session)) _CORBA_invoked_nil_objref();
  GetCall call(keys, receiver);
  session->_PR_getobj()->_invoke(call);
  return call.count();
}

}  // namespace QMR_Client
