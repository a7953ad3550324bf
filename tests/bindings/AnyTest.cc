// AnyTest.cc - values of every ClientCore type in a CORBA::Any: read back as they were put in,
// also after travelling through CDR as a peer receives them, and never as another type.
#include <gtest/gtest.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/cdrStream.h>

#include <functional>
#include <string>
#include <vector>

#include "qmr/ClientCore/DataStore.hh"
#include "qmr/ClientCore/DataStoreSession.hh"
#include "qmr/ClientCore/Event.hh"
#include "qmr/ClientCore/GpiInterface.hh"
#include "Harness.h"
#include "qmr/ClientCore/Renderd.hh"
#include "qmr/ClientCore/Vspoold.hh"

namespace {

using ClientCore::DataStoreSession;
using ClientCore::GpiInterface;

// The Any as a peer receives it: TypeCode and value marshalled into CDR and read back.
CORBA::Any overTheWire(const CORBA::Any& any) {
  cdrMemoryStream stream;
  any >>= stream;
  CORBA::Any received;
  received <<= stream;
  return received;
}

// A printable form of each value, so that a round trip compares everything at once.
std::string text(const ClientCore::Event& e) { return std::string(e.type) + "=" + e.value.in(); }
std::string text(const DataStoreSession::Entry& e) {
  return std::string(e.key) + "=" + e.data.in() + "@" + std::to_string(e.expir);
}
std::string text(const DataStoreSession::Value& v) {
  return (v.valid ? "valid " : "invalid ") + std::string(v.data);
}
template <typename Seq>
std::string textOfSeq(const Seq& seq) {
  std::string out = std::to_string(seq.length()) + ":";
  for (CORBA::ULong i = 0; i < seq.length(); ++i) out += " [" + text(seq[i]) + "]";
  return out;
}
std::string text(const DataStoreSession::EntryList& l) { return textOfSeq(l); }
std::string text(const DataStoreSession::ValueList& l) { return textOfSeq(l); }
std::string text(const GpiInterface::InvalidPin& e) {
  return std::to_string(e.pin) + "/" + std::to_string(e.numPins);
}
std::string text(const DataStoreSession::TransactionSizeExceeded&) { return "size"; }

template <typename T>
void expectRoundTrip(const T& value) {
  T copy(value);
  CORBA::Any inserted;
  inserted <<= copy;
  copy = T();  // the Any holds its own copy
  const CORBA::Any& any = inserted;
  const CORBA::Any received = overTheWire(any);
  for (const CORBA::Any* from : {&any, &received}) {
    const T* out = nullptr;
    ASSERT_TRUE(*from >>= out) << text(value);
    EXPECT_EQ(text(value), text(*out));
  }
}

TEST(AnyTest, StructsSequencesAndExceptionsRoundTrip) {
  ClientCore::Event event;
  event.type = "alarm";
  event.value = "door open";
  DataStoreSession::EntryList entries;
  entries.length(2);
  entries[0].key = "a";
  entries[0].data = "caf\xc3\xa9";
  entries[0].expir = -1;
  entries[1].key = "";
  entries[1].data = "x";
  entries[1].expir = 2147483647;
  DataStoreSession::ValueList values;
  values.length(2);
  values[0].valid = true;
  values[0].data = "one";
  values[1].valid = false;
  values[1].data = "";

  expectRoundTrip(event);
  expectRoundTrip(entries[0]);
  expectRoundTrip(values[1]);
  expectRoundTrip(entries);
  expectRoundTrip(DataStoreSession::EntryList());
  expectRoundTrip(values);
  expectRoundTrip(GpiInterface::InvalidPin(3, 2));
  expectRoundTrip(DataStoreSession::TransactionSizeExceeded());
}

// A reference of interface I, made by the POA without a servant: its IOR carries the type.
template <typename I>
typename I::_ptr_type reference() {
  CORBA::Object_var obj = qmr_test::Stack::instance().rootPoa()->create_reference(I::_PD_repoId);
  return I::_narrow(obj);
}

template <typename I>
std::function<bool(const CORBA::Any&)> referenceExtractor() {
  return [](const CORBA::Any& any) {
    typename I::_ptr_type out = I::_nil();  // borrowed from the Any
    return (any >>= out) && !CORBA::is_nil(out);
  };
}
template <typename T>
std::function<bool(const CORBA::Any&)> valueExtractor() {
  return [](const CORBA::Any& any) {
    const T* out = nullptr;
    return (any >>= out) && out != nullptr;
  };
}

// Each Any, as inserted and as received, is extracted as every type: only its own succeeds.
TEST(AnyTest, ReferencesOfEveryInterfaceRoundTripAndNothingExtractsAsAnotherType) {
  std::vector<CORBA::Any> anys(12);
  anys[0] <<= ClientCore::Event();
  anys[1] <<= DataStoreSession::Entry();
  anys[2] <<= DataStoreSession::Value();
  anys[3] <<= DataStoreSession::EntryList();
  anys[4] <<= DataStoreSession::ValueList();
  anys[5] <<= GpiInterface::InvalidPin(1, 1);
  anys[6] <<= DataStoreSession::TransactionSizeExceeded();
  ClientCore::GpiInterface_var gpi = reference<GpiInterface>();
  ClientCore::Renderd_var renderd = reference<ClientCore::Renderd>();
  ClientCore::Vspoold_var vspoold = reference<ClientCore::Vspoold>();
  ClientCore::DataStore_var store = reference<ClientCore::DataStore>();
  ClientCore::DataStoreSession_var session = reference<DataStoreSession>();
  anys[7] <<= gpi.in();
  anys[8] <<= renderd.in();
  anys[9] <<= vspoold.in();
  anys[10] <<= store.in();
  anys[11] <<= session.in();
  const std::vector<std::function<bool(const CORBA::Any&)>> extractors = {
      valueExtractor<ClientCore::Event>(),
      valueExtractor<DataStoreSession::Entry>(),
      valueExtractor<DataStoreSession::Value>(),
      valueExtractor<DataStoreSession::EntryList>(),
      valueExtractor<DataStoreSession::ValueList>(),
      valueExtractor<GpiInterface::InvalidPin>(),
      valueExtractor<DataStoreSession::TransactionSizeExceeded>(),
      referenceExtractor<GpiInterface>(),
      referenceExtractor<ClientCore::Renderd>(),
      referenceExtractor<ClientCore::Vspoold>(),
      referenceExtractor<ClientCore::DataStore>(),
      referenceExtractor<DataStoreSession>()};
  for (size_t held = 0; held < anys.size(); ++held) {
    const CORBA::Any received = overTheWire(anys[held]);
    for (size_t as = 0; as < extractors.size(); ++as) {
      EXPECT_EQ(held == as, extractors[as](anys[held])) << held << " as " << as;
      EXPECT_EQ(held == as, extractors[as](received)) << held << " as " << as << ", received";
    }
  }
  // The received reference is the same object, not only the same type.
  ClientCore::DataStore_ptr out = ClientCore::DataStore::_nil();
  const CORBA::Any received = overTheWire(anys[10]);
  ASSERT_TRUE(received >>= out);
  EXPECT_TRUE(out->_is_equivalent(store));
  EXPECT_FALSE(out->_is_equivalent(session));

  CORBA::Any text;
  text <<= "not a contract type";
  for (const auto& extract : extractors) EXPECT_FALSE(extract(text));
}

}  // namespace
