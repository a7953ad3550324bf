// Host.cc - brings the ORB, the interpreter, the data store client and the built-in modules up
// in that order around the Python command line, and down in reverse.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "Host.h"

#include <omniORB4/CORBA.h>

#include <cstdio>
#include <vector>

#include "PythonRuntime.h"
#include "qmr/DataStoreIntrinsics.h"
#include "qmr/DataStoreManager.h"
#include "qmr/MiscCorbaIntrinsics.h"
#include "qmr/SessionIntrinsics.h"
#include "qmr/util/Log.h"
#include "qmr/util/Lookup.h"
#include "qmr/util/Orb.h"

namespace qmr_host {

namespace {

bool g_modulesUp = false;
bool g_managerUp = false;

// Undoes the library set-up: the modules, then the data store session. Runs from Python's
// atexit (after the script, before the interpreter goes) and again, doing nothing, after it.
void uninitLibrary() {
  if (g_modulesUp) {
    g_modulesUp = false;
    QMR_Client::MiscCorbaIntrinsics::uninit();
    QMR_Client::DataStoreIntrinsics::uninit();
  }
  if (g_managerUp) {
    g_managerUp = false;
    try {
      QMR_Client::DataStoreManager::uninit();
    } catch (const CORBA::Exception& ex) {
      qmr_util::Log::primary()->warning("qmr-host: ending the data store session failed: %s",
                                        ex._name());
    } catch (const qmr_util::BaseException& ex) {
      qmr_util::Log::primary()->warning("qmr-host: ending the data store session failed: %s",
                                        ex.what());
    }
  }
}

CORBA::ORB_ptr startOrb(const std::string& program, const HostOptions& options) {
  try {
    return qmr_util::Orb::init(program, options.orb);
  } catch (const CORBA::SystemException& ex) {
    std::fprintf(stderr,
                 "%s: the ORB did not accept its options (%s); check the -ORB options given "
                 "(names are case-sensitive, each takes one value)\n",
                 program.c_str(), ex._name());
    return CORBA::ORB::_nil();
  } catch (const qmr_util::TlsError& ex) {
    std::fprintf(stderr, "%s: TLS cannot be set up: %s\n", program.c_str(), ex.what());
    return CORBA::ORB::_nil();
  }
}

void stopOrb(CORBA::ORB_ptr orb) {
  qmr_util::Orb::release();
  try {
    orb->destroy();
  } catch (const CORBA::Exception& ex) {
    qmr_util::Log::primary()->warning("qmr-host: destroying the ORB failed: %s", ex._name());
  }
}

void explainNoDataStore(const std::string& program, const std::string& name,
                        const std::string& reason) {
  std::fprintf(stderr,
               "%s: cannot reach the data store \"%s\": %s\n"
               "  Check that qmr-datastored runs registered under that name (systemctl status\n"
               "  qmr-datastored qmr-names) and that your user may connect (it must be in group\n"
               "  qmr: adduser USER qmr, then log in again); give another Naming Service with\n"
               "  -ORBInitRef NameService=corbaloc:omniunix:SOCKET:/NameService, pick another\n"
               "  name with --datastore NAME, or run without a data store: --no-datastore.\n",
               program.c_str(), name.c_str(), reason.c_str());
}

// After the manager found the data store but got no session: asks the data store for one
// itself, to tell a server that refuses sessions (NO_RESOURCES: its tables are full) from one
// that cannot be reached. True when it refused; a session it grants is ended at once.
bool sessionRefused(const std::string& name) {
  try {
    CORBA::Object_var obj = qmr_util::raw_lookup(name);
    ClientCore::DataStore_var store = ClientCore::DataStore::_narrow(obj.in());
    if (CORBA::is_nil(store.in())) return false;
    ClientCore::DataStoreSession_var session = store->startSession();
    store->endSession(session.in());
  } catch (const CORBA::NO_RESOURCES&) {
    return true;
  } catch (const CORBA::Exception&) {
  } catch (const qmr_util::BaseException&) {
  }
  return false;
}

void explainRefusedSession(const std::string& program, const std::string& name) {
  std::fprintf(stderr,
               "%s: the data store \"%s\" refused a session (CORBA::NO_RESOURCES): it has as\n"
               "  many sessions open as its --max-sessions allows, each with a call in progress,\n"
               "  or this client already has --max-sessions-per-client. Try again once clients\n"
               "  have ended their sessions, or start qmr-datastored with higher limits.\n",
               program.c_str(), name.c_str());
}

// Starts the data store session. False (explained on stderr) when it could not be started.
bool startManager(const std::string& program, const std::string& name) {
  std::string reason;
  try {
    QMR_Client::DataStoreManager::init(name);
    g_managerUp = true;
    return true;
  } catch (const qmr_util::InitException& ex) {
    if (sessionRefused(name)) {
      explainRefusedSession(program, name);
      return false;
    }
    reason = ex.what();
  } catch (const CORBA::TRANSIENT&) {
    reason = "CORBA::TRANSIENT (the Naming Service or the data store did not answer)";
  } catch (const CORBA::NO_RESOURCES&) {
    reason = "CORBA::NO_RESOURCES (no Naming Service reference was given)";
  } catch (const CORBA::INITIALIZE&) {
    reason = "CORBA::INITIALIZE (no usable Naming Service reference was given)";
  } catch (const CORBA::SystemException& ex) {
    reason = std::string("CORBA::") + ex._name();
  } catch (const CORBA::Exception& ex) {
    reason = std::string("CORBA exception ") + ex._name();
  } catch (const qmr_util::BaseException& ex) {
    reason = ex.what();
  }
  explainNoDataStore(program, name, reason);
  return false;
}

// Registers the modules and checks that their bootstraps set the interface objects.
bool startModules(const std::string& program, const std::vector<std::string>& packageDirs) {
  QMR_Client::DataStoreIntrinsics::init();
  QMR_Client::MiscCorbaIntrinsics::init();
  QMR_Client::SessionIntrinsics::init();
  g_modulesUp = true;
  std::string error;
  if (moduleAttributeSet("qmr.DataStoreInterface", "interface", &error) &&
      moduleAttributeSet("qmr.MiscCorbaInterface", "interface", &error)) {
    return true;
  }
  std::string dirs;
  for (const std::string& d : packageDirs) dirs += (dirs.empty() ? "" : ":") + d;
  std::fprintf(stderr,
               "%s: the qmr package did not set up (%s); it is looked for in %s; set "
               "QMR_PYTHONPATH to the folder that holds qmr/\n",
               program.c_str(), error.c_str(), dirs.c_str());
  return false;
}

}  // namespace

int runHost(const std::string& program, const HostOptions& options) {
  if (options.logLevelGiven) qmr_util::Log::primary()->setLevel(options.logLevel);

  CORBA::ORB_var orb = startOrb(program, options);
  if (CORBA::is_nil(orb)) return kExitUsage;

  int status = startPython(program, options.pythonArgs);
  if (status >= 0) {
    stopOrb(orb);
    return status;
  }
  std::vector<std::string> packageDirs = addPackagePath();

  int failure = 0;
  if (options.useDataStore && !startManager(program, options.dataStoreName)) {
    failure = kExitNoDataStore;
  } else if (!startModules(program, packageDirs) || !runAtExit(uninitLibrary)) {
    failure = kExitNoPackage;
  }
  if (failure != 0) {
    uninitLibrary();
    stopPython();
    stopOrb(orb);
    return failure;
  }

  status = runPython();
  uninitLibrary();  // nothing left to do when the atexit hook ran
  stopOrb(orb);
  return status;
}

}  // namespace qmr_host
