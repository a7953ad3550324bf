// Cdr.h - just enough CDR (little-endian out, either byte order in) for a test to write GIOP
// messages and IORs byte by byte, malformed ones included, and to read the requests a client
// sends. Alignment counts from `origin`: the position of the first byte in its message.
#ifndef QMR_TESTS_CLIENT_CDR_H
#define QMR_TESTS_CLIENT_CDR_H

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qmr_test {

class CdrOut {
 public:
  explicit CdrOut(std::size_t origin = 0) : origin_(origin) {}

  void align(std::size_t n) {
    while ((origin_ + bytes_.size()) % n != 0) bytes_.push_back('\0');
  }
  void octet(std::uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
  void boolean(bool v) { octet(v ? 1 : 0); }
  void ushort(std::uint16_t v) {
    align(2);
    put(v, 2);
  }
  void ulong(std::uint32_t v) {
    align(4);
    put(v, 4);
  }
  // A well-formed string: its length with the closing NUL, the octets, the NUL.
  void string(const std::string& octets) {
    ulong(static_cast<std::uint32_t>(octets.size() + 1));
    bytes_ += octets;
    octet(0);
  }
  // A string as a faulty peer may send it: any length word, then exactly `octets`.
  void rawString(std::uint32_t length, const std::string& octets) {
    ulong(length);
    bytes_ += octets;
  }
  void octets(const std::string& data) {
    ulong(static_cast<std::uint32_t>(data.size()));
    bytes_ += data;
  }
  // An encapsulation: `inner` (origin 0, opening with its byte-order octet) as an octet sequence.
  void encapsulation(const CdrOut& inner) { octets(inner.bytes()); }

  const std::string& bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

 private:
  void put(std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) octet(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::size_t origin_;
  std::string bytes_;
};

// Reads a message (or encapsulation) whose first byte is at position 0 for alignment.
class CdrIn {
 public:
  CdrIn(const std::string& bytes, bool littleEndian, std::size_t at = 0)
      : bytes_(bytes), little_(littleEndian), at_(at) {}

  void align(std::size_t n) {
    while (at_ % n != 0) ++at_;
  }
  std::uint8_t octet() {
    need(1);
    return static_cast<std::uint8_t>(bytes_[at_++]);
  }
  std::uint16_t ushort() {
    align(2);
    return static_cast<std::uint16_t>(get(2));
  }
  std::uint32_t ulong() {
    align(4);
    return get(4);
  }
  // A string's octets without the closing NUL.
  std::string string() {
    const std::uint32_t length = ulong();
    need(length);
    std::string text = bytes_.substr(at_, length == 0 ? 0 : length - 1);
    at_ += length;
    return text;
  }
  std::string octets() {
    const std::uint32_t length = ulong();
    need(length);
    std::string data = bytes_.substr(at_, length);
    at_ += length;
    return data;
  }
  std::size_t position() const { return at_; }

 private:
  void need(std::size_t n) const {
    if (at_ + n > bytes_.size()) throw std::runtime_error("CDR data ends early");
  }
  std::uint32_t get(int n) {
    need(static_cast<std::size_t>(n));
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      const std::uint32_t byte = static_cast<std::uint8_t>(bytes_[at_ + i]);
      v |= little_ ? byte << (8 * i) : byte << (8 * (n - 1 - i));
    }
    at_ += static_cast<std::size_t>(n);
    return v;
  }
  const std::string& bytes_;
  bool little_;
  std::size_t at_;
};

}  // namespace qmr_test

#endif  // QMR_TESTS_CLIENT_CDR_H
