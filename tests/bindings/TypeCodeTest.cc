// TypeCodeTest.cc - every ClientCore TypeCode marshals to the exact CDR octets other ORBs
// expect on the wire.
//
// The expected texts below are written out by hand from the CDR rules for TypeCodes: a
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

struct Expected {
  const char* name;
  size_t size;
  CORBA::TypeCode_ptr (*library)();  // a new reference to the library's TypeCode
  const char* hex;
};

// In the order of the contract's units; the two anonymous sequences are the content types of
// the EntryList and ValueList aliases.
const Expected kTypeCodes[] = {
    {"GpiInterface", 69, [] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_GpiInterface); },
     "010000000e00000039000000010000002000000049444c3a436c69656e74436f"
     "72652f477069496e746572666163653a312e30000d000000477069496e746572"
     "6661636500"},
    {"InvalidPin", 112,
     [] { return CORBA::TypeCode::_duplicate(ClientCore::GpiInterface::_tc_InvalidPin); },
     "010000001600000064000000010000002b00000049444c3a436c69656e74436f"
     "72652f477069496e746572666163652f496e76616c696450696e3a312e300000"
     "0b000000496e76616c696450696e0000020000000400000070696e0004000000"
     "080000006e756d50696e730004000000"},
    {"Renderd", 60, [] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_Renderd); },
     "010000000e00000030000000010000001b00000049444c3a436c69656e74436f"
     "72652f52656e646572643a312e3000000800000052656e6465726400"},
    {"Event", 104, [] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_Event); },
     "010000000f0000005c000000010000001900000049444c3a436c69656e74436f"
     "72652f4576656e743a312e3000000000060000004576656e7400000002000000"
     "05000000747970650000000012000000000000000600000076616c7565000000"
     "1200000000000000"},
    {"StringList", 92, [] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_StringList); },
     "010000001500000050000000010000001e00000049444c3a436c69656e74436f"
     "72652f537472696e674c6973743a312e300000000b000000537472696e674c69"
     "73740000130000001000000001000000120000000000000000000000"},
    {"Vspoold", 60, [] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_Vspoold); },
     "010000000e00000030000000010000001b00000049444c3a436c69656e74436f"
     "72652f5673706f6f6c643a312e300000080000005673706f6f6c6400"},
    {"DataStore", 66, [] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_DataStore); },
     "010000000e00000036000000010000001d00000049444c3a436c69656e74436f"
     "72652f4461746153746f72653a312e30000000000a0000004461746153746f72"
     "6500"},
    {"SeqOfEntry", 148, [] { return ClientCore::DataStoreSession::_tc_EntryList->content_type(); },
     "010000001300000088000000010000000f00000078000000010000002a000000"
     "49444c3a436c69656e74436f72652f4461746153746f726553657373696f6e2f"
     "456e7472793a312e3000000006000000456e7472790000000300000004000000"
     "6b65790012000000000000000500000064617461000000001200000000000000"
     "0600000065787069720000000300000000000000"},
    {"SeqOfValue", 132, [] { return ClientCore::DataStoreSession::_tc_ValueList->content_type(); },
     "010000001300000078000000010000000f00000068000000010000002a000000"
     "49444c3a436c69656e74436f72652f4461746153746f726553657373696f6e2f"
     "56616c75653a312e300000000600000056616c75650000000200000006000000"
     "76616c6964000000080000000500000064617461000000001200000000000000"
     "00000000"},
    {"TransactionSizeExceeded", 112,
     [] {
       return CORBA::TypeCode::_duplicate(
           ClientCore::DataStoreSession::_tc_TransactionSizeExceeded);
     },
     "010000001600000064000000010000003c00000049444c3a436c69656e74436f"
     "72652f4461746153746f726553657373696f6e2f5472616e73616374696f6e53"
     "697a6545786365656465643a312e3000180000005472616e73616374696f6e53"
     "697a6545786365656465640000000000"},
    {"Entry", 132,
     [] { return CORBA::TypeCode::_duplicate(ClientCore::DataStoreSession::_tc_Entry); },
     "010000000f00000078000000010000002a00000049444c3a436c69656e74436f"
     "72652f4461746153746f726553657373696f6e2f456e7472793a312e30000000"
     "06000000456e74727900000003000000040000006b6579001200000000000000"
     "0500000064617461000000001200000000000000060000006578706972000000"
     "03000000"},
    {"EntryList", 228,
     [] { return CORBA::TypeCode::_duplicate(ClientCore::DataStoreSession::_tc_EntryList); },
     "0100000015000000d8000000010000002e00000049444c3a436c69656e74436f"
     "72652f4461746153746f726553657373696f6e2f456e7472794c6973743a312e"
     "300000000a000000456e7472794c697374000000130000008800000001000000"
     "0f00000078000000010000002a00000049444c3a436c69656e74436f72652f44"
     "61746153746f726553657373696f6e2f456e7472793a312e3000000006000000"
     "456e74727900000003000000040000006b657900120000000000000005000000"
     "6461746100000000120000000000000006000000657870697200000003000000"
     "00000000"},
    {"Value", 116,
     [] { return CORBA::TypeCode::_duplicate(ClientCore::DataStoreSession::_tc_Value); },
     "010000000f00000068000000010000002a00000049444c3a436c69656e74436f"
     "72652f4461746153746f726553657373696f6e2f56616c75653a312e30000000"
     "0600000056616c7565000000020000000600000076616c696400000008000000"
     "0500000064617461000000001200000000000000"},
    {"ValueList", 212,
     [] { return CORBA::TypeCode::_duplicate(ClientCore::DataStoreSession::_tc_ValueList); },
     "0100000015000000c8000000010000002e00000049444c3a436c69656e74436f"
     "72652f4461746153746f726553657373696f6e2f56616c75654c6973743a312e"
     "300000000a00000056616c75654c697374000000130000007800000001000000"
     "0f00000068000000010000002a00000049444c3a436c69656e74436f72652f44"
     "61746153746f726553657373696f6e2f56616c75653a312e3000000006000000"
     "56616c7565000000020000000600000076616c69640000000800000005000000"
     "6461746100000000120000000000000000000000"},
    {"DataStoreSession", 77,
     [] { return CORBA::TypeCode::_duplicate(ClientCore::_tc_DataStoreSession); },
     "010000000e00000041000000010000002400000049444c3a436c69656e74436f"
     "72652f4461746153746f726553657373696f6e3a312e30001100000044617461"
     "53746f726553657373696f6e00"},
};

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

TEST(TypeCodeTest, LibraryTypeCodesMarshalToTheContractOctets) {
  ASSERT_EQ(15u, sizeof kTypeCodes / sizeof kTypeCodes[0]);
  for (const Expected& e : kTypeCodes) {
    std::vector<uint8_t> expected = fromHex(e.hex);
    ASSERT_EQ(e.size, expected.size()) << e.name << ": the expected text has the wrong size";
    PaddingWalker walker(expected);
    ASSERT_TRUE(walker.walk()) << e.name << ": the expected text is not one complete TypeCode";
    CORBA::TypeCode_var tc = e.library();
    std::vector<uint8_t> actual = marshal(tc);
    ASSERT_EQ(expected.size(), actual.size()) << e.name << ": " << hexOf(actual);
    for (size_t i = 0; i < expected.size(); ++i) {
      if (walker.isPadding(i)) continue;
      EXPECT_EQ(expected[i], actual[i])
          << e.name << " differs at octet " << i << ": " << hexOf(actual);
    }
  }
}

}  // namespace
