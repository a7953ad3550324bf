// RequestPeek.cc - a look at the input buffer of a request's stream: the next four bytes, and
// whether a large amount follows.
#include "orb/RequestPeek.h"

#include <omniORB4/IOP_S.h>
#include <omniORB4/callHandle.h>

#include "OmniInternals.h"

namespace qmr_datastored {

RequestShape peekRequest(omniCallHandle& handle) {
  RequestShape shape;
  _OMNI_NS(IOP_S)* request = handle.iop_s();
  if (request == nullptr) return shape;  // in-process
  cdrStream* stream = dynamic_cast<cdrStream*>(request);
  if (stream == nullptr) return shape;
  // The sequence length is the next ULong of the message.
  uint32_t length = 0;
  if (!qmr_util::omni_internals::peekULong(*stream, &length)) return shape;
  shape.known = true;
  shape.elements = length;
  // True when that much remains in the message, and also when more fragments are to come
  // whose total the stream does not know yet.
  shape.large = stream->checkInputOverrun(1, kLargeRequestBytes);
  return shape;
}

}  // namespace qmr_datastored
