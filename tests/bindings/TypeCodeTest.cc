// TypeCodeTest.cc - what other ORBs depend on in the bindings: the repository id of every
// ClientCore type, and the CDR octets of the Event TypeCode that listeners decode.
//
// The expected Event text is written out by hand from the CDR rules for TypeCodes: a
// four-octet header (byte order 01, three padding octets), then the TypeCode; complex kinds
// carry an encapsulation whose own byte-order octet restarts the alignment count.
#include <gtest/gtest.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/cdrStream.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qmr/ClientCore/DataStore.hh"
#include "qmr/ClientCore/DataStoreSession.hh"
#include "qmr/ClientCore/Event.hh"
#include "qmr/ClientCore/GpiInterface.hh"
#include "qmr/ClientCore/Renderd.hh"
#include "qmr/ClientCore/StringList.hh"
#include "qmr/ClientCore/Vspoold.hh"

namespace {

// The repository ids that every ORB talking to these services must use, by the TypeCode the
// library generated for each type.
struct RepositoryId {
  CORBA::TypeCode_ptr (*library)();  // a new reference to the library's TypeCode
  const char* id;
};
const RepositoryId kRepositoryIds[] = {
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_GpiInterface); },
     "IDL:ClientCore/GpiInterface:1.0"},
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::GpiInterface::_tc_InvalidPin); },
     "IDL:ClientCore/GpiInterface/InvalidPin:1.0"},
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_Renderd); },
     "IDL:ClientCore/Renderd:1.0"},
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_Event); }, "IDL:ClientCore/Event:1.0"},
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_StringList); },
     "IDL:ClientCore/StringList:1.0"},
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_Vspoold); },
     "IDL:ClientCore/Vspoold:1.0"},
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_DataStore); },
     "IDL:ClientCore/DataStore:1.0"},
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_DataStoreSession); },
     "IDL:ClientCore/DataStoreSession:1.0"},
    {[] {
       return CORBA::TypeCode::_duplicate(
           ClientCore::DataStoreSession::_tc_TransactionSizeExceeded);
     },
     "IDL:ClientCore/DataStoreSession/TransactionSizeExceeded:1.0"},
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::DataStoreSession::_tc_Entry); },
     "IDL:ClientCore/DataStoreSession/Entry:1.0"},
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::DataStoreSession::_tc_EntryList); },
     "IDL:ClientCore/DataStoreSession/EntryList:1.0"},
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::DataStoreSession::_tc_Value); },
     "IDL:ClientCore/DataStoreSession/Value:1.0"},
    {[] { return CORBA::TypeCode::_duplicate(ClientCore::DataStoreSession::_tc_ValueList); },
     "IDL:ClientCore/DataStoreSession/ValueList:1.0"},
};

// ClientCore::Event travels inside an any through the event channel, TypeCode included, to
// listeners built with other ORBs: these octets are what they decode.
constexpr size_t kEventSize = 104;
const char* const kEventHex =
    "010000000f0000005c000000010000001900000049444c3a436c69656e74436f"
    "72652f4576656e743a312e3000000000060000004576656e7400000002000000"
    "05000000747970650000000012000000000000000600000076616c7565000000"
    "1200000000000000";

std::vector<uint8_t> fromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// Walks a little-endian CDR TypeCode (after the four-octet header) and records which octets
// are alignment padding. Fails on anything it does not understand or on a length that does
// not add up, so it also checks the hand-written texts against the encoding rules.
class PaddingWalker {
 public:
  explicit PaddingWalker(const std::vector<uint8_t>& bytes)
      : bytes_(bytes), padding_(bytes.size(), false) {}

  // True when the whole buffer is one well-formed TypeCode behind the header.
  bool walk() {
    if (bytes_.size() < 4 || bytes_[0] != 1) return false;
    pos_ = 1;
    return typeCode(0) && pos_ == bytes_.size();
  }
  bool isPadding(size_t i) const { return padding_[i]; }

 private:
  bool ulong(size_t base, uint32_t* value) {
    while ((pos_ - base) % 4 != 0) {
      if (pos_ >= bytes_.size()) return false;
      padding_[pos_++] = true;
    }
    if (pos_ + 4 > bytes_.size()) return false;
    *value = bytes_[pos_] | bytes_[pos_ + 1] << 8 | bytes_[pos_ + 2] << 16 |
             static_cast<uint32_t>(bytes_[pos_ + 3]) << 24;
    pos_ += 4;
    return true;
  }
  bool string(size_t base) {
    uint32_t length;
    if (!ulong(base, &length) || length == 0 || pos_ + length > bytes_.size()) return false;
    pos_ += length;
    return bytes_[pos_ - 1] == 0;
  }
  bool typeCode(size_t base) {
    uint32_t kind, value;
    if (!ulong(base, &kind)) return false;
    switch (kind) {
      case CORBA::tk_long:
      case CORBA::tk_ushort:
      case CORBA::tk_boolean:
        return true;
      case CORBA::tk_string:
        return ulong(base, &value);  // bound
      case CORBA::tk_objref:
      case CORBA::tk_struct:
      case CORBA::tk_except:
      case CORBA::tk_alias:
      case CORBA::tk_sequence:
        break;
      default:
        return false;
    }
    uint32_t length;
    if (!ulong(base, &length)) return false;
    size_t start = pos_;
    if (start + length > bytes_.size() || bytes_[pos_++] != 1) return false;
    bool ok = true;
    if (kind == CORBA::tk_sequence) {
      ok = typeCode(start) && ulong(start, &value);
    } else {
      ok = string(start) && string(start);  // repository id, name
      if (ok && kind == CORBA::tk_alias) ok = typeCode(start);
      if (ok && (kind == CORBA::tk_struct || kind == CORBA::tk_except)) {
        uint32_t members;
        ok = ulong(start, &members);
        for (uint32_t m = 0; ok && m < members; ++m) ok = string(start) && typeCode(start);
      }
    }
    return ok && pos_ == start + length;
  }

  const std::vector<uint8_t>& bytes_;
  std::vector<bool> padding_;
  size_t pos_ = 0;
};

std::vector<uint8_t> marshal(CORBA::TypeCode_ptr tc) {
  cdrMemoryStream stream;
  stream.marshalOctet(1);  // the header: little-endian, like this machine
  CORBA::TypeCode::marshalTypeCode(tc, stream);
  const uint8_t* data = static_cast<const uint8_t*>(stream.bufPtr());
  return std::vector<uint8_t>(data, data + stream.bufSize());
}

std::string hexOf(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

TEST(TypeCodeTest, EveryTypeHasTheRepositoryIdOfTheContract) {
  for (const RepositoryId& r : kRepositoryIds) {
    CORBA::TypeCode_var tc = r.library();
    EXPECT_STREQ(r.id, tc->id()) << tc->name();
  }
  EXPECT_STREQ("IDL:ClientCore/DataStoreSession:1.0", ClientCore::DataStoreSession::_PD_repoId);
  EXPECT_STREQ("IDL:ClientCore/DataStore:1.0", ClientCore::DataStore::_PD_repoId);
}

TEST(TypeCodeTest, TheEventTypeCodeMarshalsToTheOctetsListenersDecode) {
  std::vector<uint8_t> expected = fromHex(kEventHex);
  ASSERT_EQ(kEventSize, expected.size()) << "the expected text has the wrong size";
  PaddingWalker walker(expected);
  ASSERT_TRUE(walker.walk()) << "the expected text is not one complete TypeCode";
  std::vector<uint8_t> actual = marshal(ClientCore::_tc_Event);
  ASSERT_EQ(expected.size(), actual.size()) << hexOf(actual);
  for (size_t i = 0; i < expected.size(); ++i) {
    if (walker.isPadding(i)) continue;
    EXPECT_EQ(expected[i], actual[i]) << "differs at octet " << i << ": " << hexOf(actual);
  }
}

}  // namespace
