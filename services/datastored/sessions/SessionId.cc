// SessionId.cc - random session ids from getrandom(2).
#include "sessions/SessionId.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "qmr/util/Log.h"

namespace qmr_datastored {

PortableServer::ObjectId* newSessionId() {
  PortableServer::ObjectId_var oid = new PortableServer::ObjectId(kSessionIdBytes);
  oid->length(kSessionIdBytes);
  unsigned char* bytes = oid->get_buffer();
  size_t filled = 0;
  while (filled < kSessionIdBytes) {
    ssize_t n = ::getrandom(bytes + filled, kSessionIdBytes - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      qmr_util::Log::primary()->error("startSession failed: the kernel gave no random bytes (%s)",
                                      std::strerror(errno));
      throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
    }
    filled += static_cast<size_t>(n);
  }
  return oid._retn();
}

}  // namespace qmr_datastored
