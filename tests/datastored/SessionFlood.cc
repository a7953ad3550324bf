// SessionFlood.cc - a hostile client that the fairness tests run as another user: starts
// sessions on a data store and never ends them, filling each with pending changes.
//
//   qmr-session-flood IOR SESSIONS SETS VALUE_BYTES [-ORB options]
//
// Starts SESSIONS sessions one after the other; in each, makes up to SETS sets of one new key
// with a value of VALUE_BYTES bytes, and goes on to the next session at the first refusal.
// Prints one line "started=N sets=N refused-sessions=N refused-sets=N" and exits 0; 2 on a bad
// command line, 3 when the reference does not lead to a data store.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qmr/ClientCore/DataStore.hh"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: qmr-session-flood IOR SESSIONS SETS VALUE_BYTES [-ORB...]\n");
    return 2;
  }
  const std::string ior = argv[1];
  const long sessions = std::atol(argv[2]);
  const long sets = std::atol(argv[3]);
  const std::string value(static_cast<size_t>(std::atol(argv[4])), 'f');
  int orbArgc = argc - 4;
  char** orbArgv = argv + 4;  // argv[4] stands in for the program name
  CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, orbArgv);
  long started = 0, setsDone = 0, refusedSessions = 0, refusedSets = 0;
  int code = 0;
  try {
    CORBA::Object_var obj = orb->string_to_object(ior.c_str());
    ClientCore::DataStore_var store = ClientCore::DataStore::_narrow(obj.in());
    if (CORBA::is_nil(store.in())) {
      std::fprintf(stderr, "qmr-session-flood: %s is not a DataStore\n", ior.c_str());
      return 3;
    }
    for (long i = 0; i < sessions; ++i) {
      ClientCore::DataStoreSession_var session;
      try {
        session = store->startSession();
        ++started;
      } catch (const CORBA::SystemException&) {
        ++refusedSessions;
        continue;
      }
      for (long j = 0; j < sets; ++j) {
        ClientCore::DataStoreSession::EntryList entries(1);
        entries.length(1);
        entries[0].key =
            CORBA::string_dup(("flood." + std::to_string(i) + "." + std::to_string(j)).c_str());
        entries[0].data = CORBA::string_dup(value.c_str());
        entries[0].expir = 0;
        try {
          session->set(entries);
          ++setsDone;
        } catch (const CORBA::Exception&) {
          ++refusedSets;
          break;
        }
      }
    }
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "qmr-session-flood: %s\n", e._name());
    code = 3;
  }
  std::printf("started=%ld sets=%ld refused-sessions=%ld refused-sets=%ld\n", started, setsDone,
              refusedSessions, refusedSets);
  std::fflush(stdout);
  orb->destroy();
  return code;
}
