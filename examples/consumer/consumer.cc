// consumer.cc - a client program of the data store built against the installed library.
//
//   qmr-consumer [-ORB<option> value ...] KEY VALUE
//
// Writes KEY=VALUE through DataStoreManager, commits, reads KEY back and a key that is not
// there, and prints "KEY=VALUE" and "missing: KEY.missing". The data store is the one
// registered as "DataStore" in the Naming Service given with
// -ORBInitRef NameService=corbaloc:omniunix:SOCKET:/NameService, or else the one that
// /etc/qmr/orb.conf names (the packaged service). Exit status 0 when the value read back is
// the value written, 1 otherwise (with a message on stderr saying why), 2 for a bad command
// line.
#include <omniORB4/CORBA.h>

#include <cstdio>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "qmr/DataStoreManager.h"
#include "qmr/util/BaseException.h"
#include "qmr/util/Orb.h"
#include "qmr/util/OrbOptions.h"

namespace {

// What a CORBA exception out of the lookup or a call means for the person running this.
std::string explain(const CORBA::Exception& ex) {
  std::string name = CORBA::SystemException::_downcast(&ex) != nullptr
                         ? std::string("CORBA::") + ex._name()
                         : std::string(ex._rep_id());
  if (CORBA::INITIALIZE::_downcast(&ex) != nullptr) {
    return name + ": no Naming Service is configured; give "
                  "-ORBInitRef NameService=corbaloc:omniunix:SOCKET:/NameService, or set it "
                  "in /etc/qmr/orb.conf";
  }
  if (CORBA::TRANSIENT::_downcast(&ex) != nullptr || CORBA::COMM_FAILURE::_downcast(&ex) != nullptr ||
      CORBA::TIMEOUT::_downcast(&ex) != nullptr) {
    return name + ": the Naming Service or the data store cannot be reached; is it running "
                  "where -ORBInitRef says?";
  }
  if (CORBA::NO_RESOURCES::_downcast(&ex) != nullptr) {
    return name + ": the data store refuses new sessions for now (it is full); try again later";
  }
  return name + " from the Naming Service or the data store";
}

int run(const std::string& key, const std::string& value) {
  using QMR_Client::DataStoreManager;
  try {
    DataStoreManager::init("DataStore");
  } catch (const qmr_util::BaseException& ex) {
    std::fprintf(stderr, "qmr-consumer: no data store session: %s\n", ex.what());
    return 1;
  }
  DataStoreManager* store = DataStoreManager::instance();
  std::map<std::string, std::string> found;
  std::set<std::string> missing;
  bool ok = store->set({DataStoreManager::Entry(key, value, 0)}) && store->commit() &&
            store->get({key, key + ".missing"}, found, missing, false);
  DataStoreManager::uninit();
  if (!ok) {
    std::fprintf(stderr, "qmr-consumer: a data store call failed (see the log above)\n");
    return 1;
  }
  for (const auto& [k, v] : found) std::printf("%s=%s\n", k.c_str(), v.c_str());
  for (const std::string& k : missing) std::printf("missing: %s\n", k.c_str());
  return found.count(key) == 1 && found[key] == value ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  qmr_util::OrbOptions orbOptions;
  std::vector<std::string> args;
  std::string error;
  if (!orbOptions.parse(argc, argv, &args, &error) || args.size() != 2) {
    std::fprintf(stderr, "usage: qmr-consumer [-ORB<option> value ...] [--tls-ca FILE ...] KEY VALUE%s%s\n",
                 error.empty() ? "" : "\n  ", error.c_str());
    return 2;
  }
  CORBA::ORB_var orb;
  try {
    // A loopback endpoint unless one is given, the transport tuning, and the ORB handed to
    // the lookups of the library.
    orb = qmr_util::Orb::init(argv[0], orbOptions);
  } catch (const CORBA::SystemException& ex) {
    std::fprintf(stderr, "qmr-consumer: bad -ORB options (%s)\n", ex._name());
    return 2;
  } catch (const qmr_util::TlsError& ex) {
    std::fprintf(stderr, "qmr-consumer: TLS cannot be set up: %s\n", ex.what());
    return 2;
  }
  int rc = 1;
  try {
    rc = run(args[0], args[1]);
  } catch (const CORBA::Exception& ex) {
    // DataStoreManager::init lets the lookup's exceptions through: no Naming Service
    // configured (INITIALIZE), or none reachable (TRANSIENT), for instance.
    std::fprintf(stderr, "qmr-consumer: %s\n", explain(ex).c_str());
  }
  qmr_util::Orb::release();
  orb->destroy();
  return rc;
}
