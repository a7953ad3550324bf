// Orb.cc - the ORB start-up of every program, and the process ORB used by the lookups.
#include "qmr/util/Orb.h"

#include <mutex>
#include <vector>

#include "TlsContext.h"
#include "qmr/util/Log.h"
#include "qmr/util/OrbConfig.h"
#include "qmr/util/Transport.h"

namespace qmr_util {
namespace {

std::mutex orbMutex;
CORBA::ORB_var& heldOrb() {
  static CORBA::ORB_var* orb = new CORBA::ORB_var;  // never destroyed: outlives static users
  return *orb;
}

}  // namespace

OrbOptions Orb::startUpOptions(const OrbOptions& given) {
  OrbOptions options = given;
  std::string error;
  if (!addOrbConfig(orbConfigPath(), &options, &error)) Log::primary()->warning("%s", error.c_str());
  // Without an endpoint omniORB listens on every interface and publishes the host's external
  // address in its references. A Unix socket (in omniORB's folder for this user, 0700) lets
  // only this machine's processes reach a program's own objects (event consumers, say).
  options.addDefault("-ORBendPoint", "giop:unix:");
  return options;
}

CORBA::ORB_ptr Orb::init(const std::string& program, const OrbOptions& options) {
  std::vector<std::string> args = {program};
  const OrbOptions full = startUpOptions(options);
  args.insert(args.end(), full.args().begin(), full.args().end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  tuneTransport();  // process-wide settings of the ORB library, read from ORB_init on
  TlsOptions tls = options.tls();
  tls.addEnvironment();
  std::string error;
  if (tls.any() && !loadTls(tls, &error)) throw TlsError(__FILE__, __LINE__, error);
  CORBA::ORB_var orb = CORBA::ORB_init(argc, argv.data());
  set(orb.in());
  return orb._retn();
}

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
