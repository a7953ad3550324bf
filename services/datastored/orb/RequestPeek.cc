// RequestPeek.cc - a look at the input buffer of a request's stream: the next four bytes, and
// whether a large amount follows.
#include "orb/RequestPeek.h"

#include <omniORB4/IOP_S.h>
#include <omniORB4/callHandle.h>

#include <cstring>

namespace qmr_datastored {
namespace {

// cdrStream keeps its input window in protected members; a pointer to member taken through a
// derived class reads them on any stream, without changing anything.
struct Window : cdrStream {
  static const void* marker(const cdrStream& s) { return s.*(&Window::pd_inb_mkr); }
  static const void* end(const cdrStream& s) { return s.*(&Window::pd_inb_end); }
};

}  // namespace

RequestShape peekRequest(omniCallHandle& handle) {
  RequestShape shape;
  _OMNI_NS(IOP_S)* request = handle.iop_s();
  if (request == nullptr) return shape;  // in-process
  cdrStream* stream = dynamic_cast<cdrStream*>(request);
  if (stream == nullptr) return shape;
  // The sequence length is a ULong, aligned on 4 bytes within the message; omniORB keeps its
  // buffers aligned as the message is, so the address tells the alignment.
  uintptr_t at = reinterpret_cast<uintptr_t>(Window::marker(*stream));
  at = (at + 3) & ~uintptr_t(3);
  uintptr_t end = reinterpret_cast<uintptr_t>(Window::end(*stream));
  if (at + 4 > end) return shape;
  uint32_t length;
  std::memcpy(&length, reinterpret_cast<const void*>(at), 4);
  if (stream->unmarshal_byte_swap()) length = __builtin_bswap32(length);
  shape.known = true;
  shape.elements = length;
  // True when that much remains in the message, and also when more fragments are to come
  // whose total the stream does not know yet.
  shape.large = stream->checkInputOverrun(1, kLargeRequestBytes);
  return shape;
}

}  // namespace qmr_datastored
