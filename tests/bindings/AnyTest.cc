// AnyTest.cc - values of every ClientCore type in a CORBA::Any (inserted by copy and by
// adoption, read back here and after travelling through CDR), extraction as the wrong type,
// the CDR form of the user exceptions, and how the exception classes identify themselves.
#include <gtest/gtest.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/cdrStream.h>

#include <functional>
#include <string>
#include <vector>

#include "DataStore.hh"
#include "DataStoreSession.hh"
#include "Event.hh"
#include "GpiInterface.hh"
#include "Harness.h"
#include "Renderd.hh"
#include "Vspoold.hh"

namespace {

using ClientCore::DataStoreSession;
using ClientCore::Event;
using ClientCore::GpiInterface;

bool same(const Event& a, const Event& b) {
  return std::string(a.type) == b.type.in() && std::string(a.value) == b.value.in();
}
bool same(const DataStoreSession::Entry& a, const DataStoreSession::Entry& b) {
  return std::string(a.key) == b.key.in() && std::string(a.data) == b.data.in() &&
         a.expir == b.expir;
}
bool same(const DataStoreSession::Value& a, const DataStoreSession::Value& b) {
  return a.valid == b.valid && std::string(a.data) == b.data.in();
}
template <typename Seq>
bool sameSeq(const Seq& a, const Seq& b) {
  if (a.length() != b.length()) return false;
  for (CORBA::ULong i = 0; i < a.length(); ++i) {
    if (!same(a[i], b[i])) return false;
  }
  return true;
}
bool same(const DataStoreSession::EntryList& a, const DataStoreSession::EntryList& b) {
  return sameSeq(a, b);
}
bool same(const DataStoreSession::ValueList& a, const DataStoreSession::ValueList& b) {
  return sameSeq(a, b);
}
bool same(const GpiInterface::InvalidPin& a, const GpiInterface::InvalidPin& b) {
  return a.pin == b.pin && a.numPins == b.numPins;
}
bool same(const DataStoreSession::TransactionSizeExceeded&,
          const DataStoreSession::TransactionSizeExceeded&) {
  return true;
}

// The Any as a peer receives it: TypeCode and value marshalled into CDR and read back.
CORBA::Any overTheWire(const CORBA::Any& any) {
  cdrMemoryStream stream;
  any >>= stream;
  CORBA::Any received;
  received <<= stream;
  return received;
}

// Inserts `value` by copy (then changes the caller's copy) and by adoption, and reads both
// back, directly and after CDR.
template <typename T>
void expectRoundTrips(const T& value, const char* name) {
  T copy(value);
  CORBA::Any byCopy;
  byCopy <<= copy;
  copy = T();  // the Any must hold its own copy
  CORBA::Any adopted;
  adopted <<= new T(value);
  for (const CORBA::Any* any : {&byCopy, &adopted}) {
    const CORBA::Any received = overTheWire(*any);
    for (const CORBA::Any* from : {any, &received}) {
      const T* out = nullptr;
      ASSERT_TRUE(*from >>= out) << name;
      ASSERT_NE(nullptr, out) << name;
      EXPECT_TRUE(same(value, *out)) << name;
    }
  }
}

DataStoreSession::EntryList someEntries() {
  DataStoreSession::EntryList entries;
  entries.length(2);
  entries[0].key = "a";
  entries[0].data = "caf\xc3\xa9";
  entries[0].expir = -1;
  entries[1].key = "";
  entries[1].data = "x";
  entries[1].expir = 2147483647;
  return entries;
}

DataStoreSession::ValueList someValues() {
  DataStoreSession::ValueList values;
  values.length(3);
  values[0].valid = true;
  values[0].data = "one";
  values[1].valid = false;
  values[1].data = "";
  values[2].valid = true;
  values[2].data = "";
  return values;
}

TEST(AnyTest, StructsSequencesAndExceptionsRoundTripByCopyAndByAdoption) {
  Event event;
  event.type = "alarm";
  event.value = "door open";
  expectRoundTrips(event, "Event");
  expectRoundTrips(someEntries()[0], "Entry");
  expectRoundTrips(someValues()[0], "Value");
  expectRoundTrips(someValues()[1], "invalid Value");
  expectRoundTrips(someEntries(), "EntryList");
  expectRoundTrips(DataStoreSession::EntryList(), "empty EntryList");
  expectRoundTrips(someValues(), "ValueList");
  expectRoundTrips(GpiInterface::InvalidPin(3, 2), "InvalidPin");
  expectRoundTrips(DataStoreSession::TransactionSizeExceeded(), "TransactionSizeExceeded");
}

// References of every interface, made by the POA without servants (no call is needed to know
// their type: the IOR carries the repository id).
template <typename I>
typename I::_ptr_type reference() {
  CORBA::Object_var obj = qmr_test::Stack::instance().rootPoa()->create_reference(I::_PD_repoId);
  return I::_narrow(obj);
}

template <typename I>
void expectReferenceRoundTrips(const char* name) {
  typename I::_var_type original = reference<I>();
  ASSERT_FALSE(CORBA::is_nil(original)) << name;
  CORBA::Any byCopy;
  byCopy <<= original.in();  // the caller keeps its reference
  typename I::_ptr_type given = I::_duplicate(original);
  CORBA::Any adopted;
  adopted <<= &given;  // the Any takes this one over
  EXPECT_TRUE(CORBA::is_nil(given)) << name;
  for (const CORBA::Any* any : {&byCopy, &adopted}) {
    const CORBA::Any received = overTheWire(*any);
    for (const CORBA::Any* from : {any, &received}) {
      typename I::_ptr_type out = I::_nil();  // borrowed from the Any
      ASSERT_TRUE(*from >>= out) << name;
      ASSERT_FALSE(CORBA::is_nil(out)) << name;
      EXPECT_TRUE(out->_is_equivalent(original)) << name;
    }
  }
}

TEST(AnyTest, ReferencesOfEveryInterfaceRoundTripByCopyAndByAdoption) {
  expectReferenceRoundTrips<GpiInterface>("GpiInterface");
  expectReferenceRoundTrips<ClientCore::Renderd>("Renderd");
  expectReferenceRoundTrips<ClientCore::Vspoold>("Vspoold");
  expectReferenceRoundTrips<ClientCore::DataStore>("DataStore");
  expectReferenceRoundTrips<DataStoreSession>("DataStoreSession");
}

template <typename T>
std::function<bool(const CORBA::Any&)> valueExtractor() {
  return [](const CORBA::Any& any) {
    const T* out = nullptr;
    return static_cast<bool>(any >>= out);
  };
}
template <typename I>
std::function<bool(const CORBA::Any&)> referenceExtractor() {
  return [](const CORBA::Any& any) {
    typename I::_ptr_type out = I::_nil();
    return static_cast<bool>(any >>= out);
  };
}

TEST(AnyTest, ExtractionAsAnyOtherContractTypeFails) {
  std::vector<CORBA::Any> anys(12);
  Event event;
  anys[0] <<= event;
  anys[1] <<= DataStoreSession::Entry();
  anys[2] <<= DataStoreSession::Value();
  anys[3] <<= DataStoreSession::EntryList();
  anys[4] <<= DataStoreSession::ValueList();
  anys[5] <<= GpiInterface::InvalidPin(1, 1);
  anys[6] <<= DataStoreSession::TransactionSizeExceeded();
  anys[7] <<= ClientCore::GpiInterface_var(reference<GpiInterface>()).in();
  anys[8] <<= ClientCore::Renderd_var(reference<ClientCore::Renderd>()).in();
  anys[9] <<= ClientCore::Vspoold_var(reference<ClientCore::Vspoold>()).in();
  anys[10] <<= ClientCore::DataStore_var(reference<ClientCore::DataStore>()).in();
  anys[11] <<= ClientCore::DataStoreSession_var(reference<DataStoreSession>()).in();
  const std::vector<std::function<bool(const CORBA::Any&)>> extractors = {
      valueExtractor<Event>(),
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
    CORBA::Any received = overTheWire(anys[held]);
    for (size_t asType = 0; asType < extractors.size(); ++asType) {
      EXPECT_EQ(held == asType, extractors[asType](anys[held])) << held << " as " << asType;
      EXPECT_EQ(held == asType, extractors[asType](received)) << held << " as " << asType;
    }
  }
  CORBA::Any text;
  text <<= "not a contract type";
  for (const auto& extract : extractors) EXPECT_FALSE(extract(text));
}

TEST(CdrTest, InvalidPinEncodesBothMembersAndTransactionSizeExceededNothing) {
  cdrMemoryStream stream;
  GpiInterface::InvalidPin(3, 2) >>= stream;
  EXPECT_EQ(4u, stream.bufSize());  // two unsigned shorts
  GpiInterface::InvalidPin decoded;
  decoded <<= stream;
  EXPECT_EQ(3, decoded.pin);
  EXPECT_EQ(2, decoded.numPins);

  cdrMemoryStream empty;
  DataStoreSession::TransactionSizeExceeded() >>= empty;
  EXPECT_EQ(0u, empty.bufSize());
}

TEST(CdrTest, SequencesEncodeTheirCountAndTruncatedInputIsRefused) {
  cdrMemoryStream none;
  DataStoreSession::EntryList() >>= none;
  ASSERT_EQ(4u, none.bufSize());
  EXPECT_EQ(0u, *static_cast<const CORBA::ULong*>(none.bufPtr()));

  cdrMemoryStream full;
  someEntries() >>= full;
  cdrMemoryStream cut(full.bufPtr(), full.bufSize() - 3);
  DataStoreSession::EntryList decoded;
  EXPECT_THROW(decoded <<= cut, CORBA::MARSHAL);
}

TEST(UserExceptionTest, ExceptionsKnowTheirRepositoryIdsAndDowncastOnlyToThemselves) {
  GpiInterface::InvalidPin pin(5, 4);
  DataStoreSession::TransactionSizeExceeded size;
  CORBA::BAD_PARAM system;
  EXPECT_STREQ("IDL:ClientCore/GpiInterface/InvalidPin:1.0", pin._rep_id());
  EXPECT_STREQ("InvalidPin", pin._name());
  EXPECT_STREQ("IDL:ClientCore/DataStoreSession/TransactionSizeExceeded:1.0", size._rep_id());
  EXPECT_STREQ("TransactionSizeExceeded", size._name());

  EXPECT_EQ(&pin, GpiInterface::InvalidPin::_downcast(static_cast<CORBA::Exception*>(&pin)));
  EXPECT_EQ(&size, DataStoreSession::TransactionSizeExceeded::_downcast(
                       static_cast<const CORBA::Exception*>(&size)));
  EXPECT_EQ(nullptr, GpiInterface::InvalidPin::_downcast(&size));
  EXPECT_EQ(nullptr, GpiInterface::InvalidPin::_downcast(&system));
  EXPECT_EQ(nullptr, DataStoreSession::TransactionSizeExceeded::_downcast(&pin));
  EXPECT_EQ(nullptr, GpiInterface::InvalidPin::_downcast(static_cast<CORBA::Exception*>(nullptr)));
}

TEST(UserExceptionTest, RaiseAndCloneKeepTheTypeAndTheMembers) {
  GpiInterface::InvalidPin original(7, 4);
  CORBA::Exception* clone = original._NP_duplicate();
  original.pin = 0;
  try {
    clone->_raise();
    ADD_FAILURE() << "_raise returned";
  } catch (const GpiInterface::InvalidPin& e) {
    EXPECT_EQ(7, e.pin);
    EXPECT_EQ(4, e.numPins);
  }
  delete clone;
  const CORBA::UserException& base = DataStoreSession::TransactionSizeExceeded();
  EXPECT_THROW(base._raise(), DataStoreSession::TransactionSizeExceeded);
}

}  // namespace
