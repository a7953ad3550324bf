// OmniInternals.cc - what the project needs from omniORB's internals, read against omniORB
// 4.2.5's headers (omniORB4/internal/, found through the include folder util/CMakeLists.txt
// adds for this file only) and the texts of its log lines.
#include "OmniInternals.h"

#include <omniORB4/internal/giopStream.h>
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/internal/GIOP_S.h>
#include <omniORB4/internal/orbParameters.h>
#include <omniORB4/internal/SocketCollection.h>

#include <cstring>

namespace qmr_util {
namespace omni_internals {

TransportTuning giopBuffers() {
  return TransportTuning{omni::giopStream::bufferSize, omni::giopStream::directSendCutOff,
                         omni::giopStream::directReceiveCutOff};
}

void setGiopBuffers(const TransportTuning& tuning) {
  omni::giopStream::bufferSize = static_cast<CORBA::ULong>(tuning.bufferSize);
  omni::giopStream::directSendCutOff = static_cast<CORBA::ULong>(tuning.directSendCutOff);
  omni::giopStream::directReceiveCutOff = static_cast<CORBA::ULong>(tuning.directReceiveCutOff);
}

CORBA::ULong nativeCharCodeSetId() {
  const omni::omniCodeSet::NCS_C* ncs = omni::orbParameters::nativeCharCodeSet;
  return ncs != nullptr ? ncs->id() : 0;
}

// The TCP and Unix transports' connections derive from both giopConnection and SocketHolder,
// so a cross-cast finds the holder; the socket is a protected member, read through a member
// pointer named from a derived class.
int connectionSocket(omni::giopConnection* connection) {
  struct Reader : omni::SocketHolder {
    static int fd(omni::SocketHolder* holder) {
      return static_cast<int>(holder->*(&Reader::pd_socket));
    }
  };
  auto* holder = connection != nullptr ? dynamic_cast<omni::SocketHolder*>(connection) : nullptr;
  return holder != nullptr ? Reader::fd(holder) : -1;
}

const void* acceptedConnection(omni::omniInterceptors::serverAcceptConnection_T::info_T& info) {
  return info.strand.connection;
}

const void* requestConnection(omni::omniInterceptors::serverReceiveRequest_T::info_T& info) {
  return info.giop_s.strand().connection;
}

// cdrStream keeps its input window in protected members; a pointer to member taken through a
// derived class reads them on any stream without changing anything. omniORB keeps its buffers
// aligned as the message is, so the address tells the alignment.
bool peekULong(const cdrStream& stream, uint32_t* value) {
  struct Window : cdrStream {
    static const void* marker(const cdrStream& s) { return s.*(&Window::pd_inb_mkr); }
    static const void* end(const cdrStream& s) { return s.*(&Window::pd_inb_end); }
  };
  uintptr_t at = reinterpret_cast<uintptr_t>(Window::marker(stream));
  at = (at + 3) & ~uintptr_t(3);
  if (at + 4 > reinterpret_cast<uintptr_t>(Window::end(stream))) return false;
  uint32_t raw;
  std::memcpy(&raw, reinterpret_cast<const void*>(at), 4);
  *value = stream.unmarshal_byte_swap() ? __builtin_bswap32(raw) : raw;
  return true;
}

namespace {

// Lines that every normal client causes: a connection closed by its client between two
// requests, or by the server's idle scavenger, or one closed while the thread pool watched it.
bool routine(const char* message) {
  static const char* const kRoutine[] = {
      "Error in network receive (start of message)",
      "Orderly connection shutdown",
      "Scavenger close connection",
      "Connection is dying",
  };
  for (const char* text : kRoutine) {
    if (std::strstr(message, text) != nullptr) return true;
  }
  return false;
}

}  // namespace

OrbLogLine classifyOrbLogLine(const char* message) {
  OrbLogLine line;
  // -ORBtraceExceptions writes "throw NAME from FILE:LINE(MINOR...)".
  if (std::strstr(message, ": throw ") != nullptr) {
    line.kind = OrbLogLine::kTracedThrow;
    if (const char* minor = std::strstr(message, "MARSHAL_")) {
      line.minor.assign(minor, std::strcspn(minor, ") \n"));
      line.kind = line.minor.find("MessageSizeExceedLimit") != std::string::npos
                      ? OrbLogLine::kMessageTooLarge
                      : OrbLogLine::kMalformed;
    }
  } else if (routine(message)) {
    line.kind = OrbLogLine::kRoutine;
  }
  return line;
}

}  // namespace omni_internals
}  // namespace qmr_util
