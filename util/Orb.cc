// Orb.cc - the process ORB used by the lookups.
#include "qmr/util/Orb.h"

#include <mutex>

namespace qmr_util {
namespace {

std::mutex orbMutex;
CORBA::ORB_var& heldOrb() {
  static CORBA::ORB_var* orb = new CORBA::ORB_var;  // never destroyed: outlives static users
  return *orb;
}

}  // namespace

void Orb::set(CORBA::ORB_ptr orb) {
  std::lock_guard<std::mutex> lock(orbMutex);
  heldOrb() = CORBA::ORB::_duplicate(orb);
}

CORBA::ORB_ptr Orb::get() {
  std::lock_guard<std::mutex> lock(orbMutex);
  CORBA::ORB_var& orb = heldOrb();
  if (CORBA::is_nil(orb)) {
    // omniORB hands back the ORB already initialised in this process, if there is one.
    int argc = 0;
    orb = CORBA::ORB_init(argc, nullptr);
  }
  return orb.in();
}

void Orb::release() {
  std::lock_guard<std::mutex> lock(orbMutex);
  heldOrb() = CORBA::ORB::_nil();
}

}  // namespace qmr_util
