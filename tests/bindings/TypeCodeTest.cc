// TypeCodeTest.cc - every ClientCore TypeCode marshals to exactly the CDR octets other ORBs
// expect on the wire: names, repository ids, member order and member types.
//
// The expected texts are written out by hand from the CDR rules for TypeCodes: a four-octet
// header (byte order 01, three padding octets), then the TypeCode; complex kinds carry an
// encapsulation whose own byte-order octet restarts the alignment count. Padding is zero.
#include <gtest/gtest.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/cdrStream.h>

#include <cstdint>
#include <string>
#include <vector>

#include "DataStore.hh"
#include "DataStoreSession.hh"
#include "Event.hh"
#include "GpiInterface.hh"
#include "Renderd.hh"
#include "StringList.hh"
#include "Vspoold.hh"

namespace {

using ClientCore::DataStoreSession;

struct Expected {
  const char* name;
  const CORBA::TypeCode_ptr* tc;
  const char* hex;
};

// One per named type of the contract, in the order of its units. The struct TypeCodes of
// Entry and Value are checked as the element types inside EntryList and ValueList.
const Expected kTypeCodes[] = {
    {"GpiInterface", &ClientCore::_tc_GpiInterface,
     "010000000e00000039000000010000002000000049444c3a436c69656e74436f"
     "72652f477069496e746572666163653a312e30000d000000477069496e746572"
     "6661636500"},
    {"InvalidPin", &ClientCore::GpiInterface::_tc_InvalidPin,
     "010000001600000064000000010000002b00000049444c3a436c69656e74436f"
     "72652f477069496e746572666163652f496e76616c696450696e3a312e300000"
     "0b000000496e76616c696450696e0000020000000400000070696e0004000000"
     "080000006e756d50696e730004000000"},
    {"Renderd", &ClientCore::_tc_Renderd,
     "010000000e00000030000000010000001b00000049444c3a436c69656e74436f"
     "72652f52656e646572643a312e3000000800000052656e6465726400"},
    {"Event", &ClientCore::_tc_Event,
     "010000000f0000005c000000010000001900000049444c3a436c69656e74436f"
     "72652f4576656e743a312e3000000000060000004576656e7400000002000000"
     "05000000747970650000000012000000000000000600000076616c7565000000"
     "1200000000000000"},
    {"StringList", &ClientCore::_tc_StringList,
     "010000001500000050000000010000001e00000049444c3a436c69656e74436f"
     "72652f537472696e674c6973743a312e300000000b000000537472696e674c69"
     "73740000130000001000000001000000120000000000000000000000"},
    {"Vspoold", &ClientCore::_tc_Vspoold,
     "010000000e00000030000000010000001b00000049444c3a436c69656e74436f"
     "72652f5673706f6f6c643a312e300000080000005673706f6f6c6400"},
    {"DataStore", &ClientCore::_tc_DataStore,
     "010000000e00000036000000010000001d00000049444c3a436c69656e74436f"
     "72652f4461746153746f72653a312e30000000000a0000004461746153746f72"
     "6500"},
    {"TransactionSizeExceeded", &DataStoreSession::_tc_TransactionSizeExceeded,
     "010000001600000064000000010000003c00000049444c3a436c69656e74436f"
     "72652f4461746153746f726553657373696f6e2f5472616e73616374696f6e53"
     "697a6545786365656465643a312e3000180000005472616e73616374696f6e53"
     "697a6545786365656465640000000000"},
    {"EntryList", &DataStoreSession::_tc_EntryList,
     "0100000015000000d8000000010000002e00000049444c3a436c69656e74436f"
     "72652f4461746153746f726553657373696f6e2f456e7472794c6973743a312e"
     "300000000a000000456e7472794c697374000000130000008800000001000000"
     "0f00000078000000010000002a00000049444c3a436c69656e74436f72652f44"
     "61746153746f726553657373696f6e2f456e7472793a312e3000000006000000"
     "456e74727900000003000000040000006b657900120000000000000005000000"
     "6461746100000000120000000000000006000000657870697200000003000000"
     "00000000"},
    {"ValueList", &DataStoreSession::_tc_ValueList,
     "0100000015000000c8000000010000002e00000049444c3a436c69656e74436f"
     "72652f4461746153746f726553657373696f6e2f56616c75654c6973743a312e"
     "300000000a00000056616c75654c697374000000130000007800000001000000"
     "0f00000068000000010000002a00000049444c3a436c69656e74436f72652f44"
     "61746153746f726553657373696f6e2f56616c75653a312e3000000006000000"
     "56616c7565000000020000000600000076616c69640000000800000005000000"
     "6461746100000000120000000000000000000000"},
    {"DataStoreSession", &ClientCore::_tc_DataStoreSession,
     "010000000e00000041000000010000002400000049444c3a436c69656e74436f"
     "72652f4461746153746f726553657373696f6e3a312e30001100000044617461"
     "53746f726553657373696f6e00"},
};

// Reads a little-endian CDR TypeCode and marks which octets are alignment padding, whose
// value the encoding leaves open. Fails on any kind the contract does not use and on lengths
// that do not add up, so it also checks the hand-written texts against the encoding rules.
struct PaddingWalker {
  std::vector<uint8_t> octets;
  std::vector<bool> padding = std::vector<bool>(octets.size(), false);
  size_t pos = 1;  // after the byte-order octet of the header

  bool ulong(size_t base, uint32_t* value) {
    for (; (pos - base) % 4 != 0; ++pos) {
      if (pos >= octets.size()) return false;
      padding[pos] = true;
    }
    if (pos + 4 > octets.size()) return false;
    *value = 0;
    for (int i = 3; i >= 0; --i) *value = *value << 8 | octets[pos + i];
    pos += 4;
    return true;
  }
  bool string(size_t base) {
    uint32_t length;
    if (!ulong(base, &length) || length == 0 || (pos += length) > octets.size()) return false;
    return octets[pos - 1] == 0;
  }
  bool typeCode(size_t base) {
    uint32_t kind, length, count;
    if (!ulong(base, &kind)) return false;
    if (kind == CORBA::tk_long || kind == CORBA::tk_ushort || kind == CORBA::tk_boolean) {
      return true;
    }
    if (kind == CORBA::tk_string) return ulong(base, &length);  // the bound
    if (!ulong(base, &length)) return false;
    const size_t start = pos;  // the encapsulation: byte order, then the parameters
    if (start + length > octets.size() || octets[pos++] != 1) return false;
    bool ok;
    switch (kind) {
      case CORBA::tk_sequence:
        ok = typeCode(start) && ulong(start, &count);  // element type, bound
        break;
      case CORBA::tk_objref:
        ok = string(start) && string(start);  // repository id, name
        break;
      case CORBA::tk_alias:
        ok = string(start) && string(start) && typeCode(start);
        break;
      case CORBA::tk_struct:
      case CORBA::tk_except:
        ok = string(start) && string(start) && ulong(start, &count);
        for (uint32_t m = 0; ok && m < count; ++m) ok = string(start) && typeCode(start);
        break;
      default:
        return false;
    }
    return ok && pos == start + length;
  }
};

std::vector<uint8_t> fromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::stoul(hex.substr(i, 2), 0, 16));
  return out;
}

// The header and the TypeCode as this ORB puts them on the wire.
std::vector<uint8_t> marshal(CORBA::TypeCode_ptr tc) {
  cdrMemoryStream stream;
  stream.marshalOctet(1);  // the header: little-endian, like this machine
  CORBA::TypeCode::marshalTypeCode(tc, stream);
  const uint8_t* data = static_cast<const uint8_t*>(stream.bufPtr());
  return std::vector<uint8_t>(data, data + stream.bufSize());
}

std::string hexOf(const std::vector<uint8_t>& octets) {
  std::string out;
  for (uint8_t b : octets) out += "0123456789abcdef"[b >> 4], out += "0123456789abcdef"[b & 15];
  return out;
}

TEST(TypeCodeTest, LibraryTypeCodesMarshalToTheContractOctets) {
  for (const Expected& e : kTypeCodes) {
    PaddingWalker expected{fromHex(e.hex)};
    ASSERT_TRUE(expected.typeCode(0) && expected.pos == expected.octets.size())
        << e.name << ": the expected text is not one well-formed TypeCode";
    const std::vector<uint8_t> actual = marshal(*e.tc);
    ASSERT_EQ(expected.octets.size(), actual.size()) << e.name << ": " << hexOf(actual);
    for (size_t i = 0; i < actual.size(); ++i) {
      EXPECT_TRUE(expected.padding[i] || expected.octets[i] == actual[i])
          << e.name << " differs at octet " << i << ": " << hexOf(actual);
    }
  }
}

TEST(TypeCodeTest, EntryAndValueAreTheElementTypesOfTheirLists) {
  const std::pair<CORBA::TypeCode_ptr, CORBA::TypeCode_ptr> lists[] = {
      {DataStoreSession::_tc_EntryList, DataStoreSession::_tc_Entry},
      {DataStoreSession::_tc_ValueList, DataStoreSession::_tc_Value}};
  for (const auto& list : lists) {
    CORBA::TypeCode_var sequence = list.first->content_type();
    CORBA::TypeCode_var element = sequence->content_type();
    EXPECT_TRUE(element->equal(list.second)) << list.second->name();
  }
}

}  // namespace
