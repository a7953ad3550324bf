// stress_gets.cc - qmr-stress-gets: many large gets against qmr-datastored at once, to see
// that the server bounds the memory they take and keeps serving (tools/stress.py drives it and
// watches the server's resident size).
//
// Opens N sessions of the data store through the generated stub (each its own session; the
// process-wide DataStoreManager has one and is not meant for this), then N threads send one
// get of K keys each at the same moment, every call on a connection of its own. Each call's
// outcome is counted by what it returned or raised (OK, NO_MEMORY, IMP_LIMIT, ...).
//
// The key list is built once and shared by every thread: marshalling only reads it, and N
// copies of a million strings would cost the client gigabytes. Keys are 1 to 3 characters
// (base 62), so that each takes 8 bytes on the wire (length, text, NUL, padding): a million
// of them make a request of 8,000,004 bytes of arguments, just under the server's default
// --max-message-bytes of 8 MiB (8,388,608). Keys of 4 characters or more, "k123456" say,
// take 12 bytes or more each and a million of them would be refused as too large before the
// server could read any of it. With more than 238,328 keys (62^3) they repeat.
//
// Output: progress on stderr; one JSON line on stdout with the figures.
// Exit status: 0 when every call ended (whatever it returned), 1 when a call timed out
// (TIMEOUT: no reply within --timeout) or the client itself failed, 2 on a bad command line.
#include <omniORB4/CORBA.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qmr/ClientCore/DataStore.hh"
#include "qmr/ClientCore/DataStoreSession.hh"
#include "qmr/DataStoreManager.h"
#include "qmr/util/Orb.h"
#include "qmr/util/OrbOptions.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
  std::string dataStore = "DataStore";  // --datastore: a Naming Service name or a reference
  int sessions = 48;                    // --sessions
  long keys = 1000000;                  // --keys
  long populate = 10000;                // --populate: distinct keys stored first
  int valueBytes = 16;                  // --value-bytes of the stored values
  long messageLimit = 8388608;          // --message-limit: the server's --max-message-bytes
  int timeoutSeconds = 120;             // --timeout of each call
};

void usage() {
  std::printf(
      "qmr-stress-gets: N sessions send one get of K keys each, all at once, to the data "
      "store.\n"
      "Usage: qmr-stress-gets [options] [ORB options]\n"
      "  --sessions N       sessions and concurrent gets (default 48)\n"
      "  --keys K           keys per get (default 1000000); keys are 1-3 characters of base 62\n"
      "                     (8 bytes each on the wire), repeating beyond 238328\n"
      "  --populate P       store the first P distinct keys first, so that replies carry values\n"
      "                     (default 10000; 0: store nothing)\n"
      "  --value-bytes B    length of the stored values (default 16)\n"
      "  --datastore NAME   Naming Service name or reference (IOR:..., corbaloc:...) of the data\n"
      "                     store (default DataStore)\n"
      "  --ior-file FILE    read the data store's reference from FILE instead\n"
      "  --message-limit B  the server's --max-message-bytes (default 8388608): refuse to run\n"
      "                     when the request would be larger\n"
      "  --timeout S        a call that takes longer counts as hung (default 120)\n"
      "  -h, --help         this text\n"
      "ORB options: -ORBInitRef NameService=corbaloc:omniunix:SOCKET:/NameService, etc.\n"
      "Defaults given to the ORB unless set: -ORBmaxGIOPConnectionPerServer N+4 (every call\n"
      "on a connection of its own), -ORBgiopMaxMsgSize twice the message limit (the server\n"
      "decides what is too large), -ORBclientCallTimeOutPeriod from --timeout.\n"
      "Prints progress on stderr and one JSON line of figures on stdout. Exit status 0 when\n"
      "every call ended, 1 when one timed out or the client failed, 2 on a bad command line.\n");
}

[[noreturn]] void die(int status, const std::string& what) {
  std::fprintf(stderr, "qmr-stress-gets: %s\n", what.c_str());
  std::exit(status);
}

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::fputs("qmr-stress-gets: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

// Key `index`: its number modulo 62^3 in base 62, 1 to 3 characters.
std::string keyName(long index) {
  static const char kDigits[] =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  long n = index % (62L * 62 * 62);
  std::string key;
  do {
    key.insert(key.begin(), kDigits[n % 62]);
    n /= 62;
  } while (n > 0);
  return key;
}

long parseNumber(const std::string& option, const std::string& text, long minimum) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < minimum) {
    die(2, option + " needs a number of at least " + std::to_string(minimum) + ", not '" + text +
               "'");
  }
  return value;
}

std::string readReference(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  if (!in || !std::getline(in, text) || text.empty()) {
    die(1, "cannot read a reference from " + path + " (is the data store running?)");
  }
  return text;
}

// Stores the first `count` distinct keys with values of `valueBytes`, in transactions small
// enough for the default --max-transaction (10,000 keys).
void populate(ClientCore::DataStore_ptr store, long count, int valueBytes) {
  ClientCore::DataStoreSession_var session = store->startSession();
  const long chunk = 10000;
  for (long first = 0; first < count; first += chunk) {
    const CORBA::ULong n = static_cast<CORBA::ULong>(std::min(chunk, count - first));
    ClientCore::DataStoreSession::EntryList list(n);
    list.length(n);
    for (CORBA::ULong i = 0; i < n; ++i) {
      std::string value = "v" + std::to_string(first + i);
      value.resize(static_cast<size_t>(valueBytes), '.');
      list[i].key = keyName(first + static_cast<long>(i)).c_str();
      list[i].data = value.c_str();
      list[i].expir = 0;
    }
    session->set(list);
    session->commit();
  }
  store->endSession(session.in());
}

// " (minor 0x..., completed no)" for a system exception.
std::string describe(const CORBA::SystemException& e) {
  char text[80];
  const char* completed = e.completed() == CORBA::COMPLETED_YES  ? "yes"
                          : e.completed() == CORBA::COMPLETED_NO ? "no"
                                                                 : "maybe";
  std::snprintf(text, sizeof text, " (minor 0x%x, completed %s)",
                static_cast<unsigned>(e.minor()), completed);
  return text;
}

// What one call did.
struct Outcome {
  std::string what;        // "OK", or the exception's name
  std::string detail;      // a system exception's minor code and completion status
  double seconds = 0;      // from the common start to its end
  CORBA::ULong values = 0; // values returned (OK only)
};

// Lets every thread start its call at the same moment.
class StartGate {
 public:
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    open_.wait(lock, [this] { return opened_; });
  }
  void open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      opened_ = true;
    }
    open_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable open_;
  bool opened_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  qmr_util::OrbOptions orbOptions;
  std::vector<std::string> args;
  std::string error;
  if (!orbOptions.parse(argc, argv, &args, &error)) die(2, error + " (see --help)");
  Settings settings;
  std::string iorFile;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    }
    if (i + 1 >= args.size()) die(2, "unknown argument or missing value: '" + arg + "' (see --help)");
    const std::string& value = args[++i];
    if (arg == "--sessions") {
      settings.sessions = static_cast<int>(parseNumber(arg, value, 1));
    } else if (arg == "--keys") {
      settings.keys = parseNumber(arg, value, 1);
    } else if (arg == "--populate") {
      settings.populate = parseNumber(arg, value, 0);
    } else if (arg == "--value-bytes") {
      settings.valueBytes = static_cast<int>(parseNumber(arg, value, 1));
    } else if (arg == "--datastore") {
      settings.dataStore = value;
    } else if (arg == "--ior-file") {
      iorFile = value;
    } else if (arg == "--message-limit") {
      settings.messageLimit = parseNumber(arg, value, 1024);
    } else if (arg == "--timeout") {
      settings.timeoutSeconds = static_cast<int>(parseNumber(arg, value, 1));
    } else {
      die(2, "unknown argument '" + arg + "' (see --help)");
    }
  }
  if (settings.sessions > 1000) die(2, "--sessions is at most 1000");
  if (settings.keys > 100000000) die(2, "--keys is at most 100000000");
  settings.populate = std::min(settings.populate, std::min(settings.keys, 62L * 62 * 62));
  if (!iorFile.empty()) settings.dataStore = readReference(iorFile);

  orbOptions.addDefault("-ORBmaxGIOPConnectionPerServer", std::to_string(settings.sessions + 4));
  orbOptions.addDefault("-ORBgiopMaxMsgSize", std::to_string(2 * settings.messageLimit));
  orbOptions.addDefault("-ORBclientCallTimeOutPeriod",
                        std::to_string(settings.timeoutSeconds * 1000L));
  CORBA::ORB_var orb;
  try {
    orb = qmr_util::Orb::init(argv[0], orbOptions);
  } catch (const CORBA::SystemException& e) {
    die(1, std::string("cannot initialise the ORB: ") + e._name() + " (check the -ORB options)");
  } catch (const qmr_util::TlsError& e) {
    die(1, std::string("TLS cannot be set up: ") + e.what());
  }

  // The one key list every call sends.
  const CORBA::ULong n = static_cast<CORBA::ULong>(settings.keys);
  ClientCore::StringList keys(n);
  keys.length(n);
  for (CORBA::ULong i = 0; i < n; ++i) keys[i] = keyName(static_cast<long>(i)).c_str();
  cdrMemoryStream measure;
  keys >>= measure;
  const CORBA::ULong requestBytes = measure.bufSize();
  // GIOP and request headers (object key, operation, service contexts) stay under 1 KiB.
  if (requestBytes + 1024 > static_cast<CORBA::ULong>(settings.messageLimit)) {
    die(2, "a get of " + std::to_string(n) + " keys takes " + std::to_string(requestBytes) +
               " bytes of arguments, more than --message-limit " +
               std::to_string(settings.messageLimit) + " allows with headers; send fewer keys");
  }
  say("%u keys per get: %u bytes of arguments (limit %ld)", n, requestBytes,
      settings.messageLimit);

  std::vector<ClientCore::DataStoreSession_var> sessions(static_cast<size_t>(settings.sessions));
  ClientCore::DataStore_var store;
  double populateSeconds = 0;
  try {
    store = QMR_Client::lookup_object<ClientCore::DataStore>(settings.dataStore);
    if (CORBA::is_nil(store)) {
      die(1, "no data store is registered as '" + settings.dataStore + "' (is the stack up?)");
    }
    if (settings.populate > 0) {
      Clock::time_point start = Clock::now();
      populate(store.in(), settings.populate, settings.valueBytes);
      populateSeconds = std::chrono::duration<double>(Clock::now() - start).count();
      say("stored %ld keys with %d-byte values in %.2f s", settings.populate,
          settings.valueBytes, populateSeconds);
    }
    for (auto& session : sessions) {
      session = store->startSession();
      if (CORBA::is_nil(session)) die(1, "the data store returned no session");
    }
  } catch (const CORBA::SystemException& e) {
    die(1, std::string("setting up failed with ") + e._name() +
               " (is the stack up? are --sessions within --max-sessions-per-client?)");
  } catch (const CORBA::UserException& e) {
    die(1, std::string("storing the keys first failed with ") + e._name() +
               " (lower --populate or --value-bytes)");
  }
  say("%d sessions open; sending %d gets of %u keys at once", settings.sessions,
      settings.sessions, n);

  std::vector<Outcome> outcomes(sessions.size());
  StartGate gate;
  std::atomic<int> done{0};
  Clock::time_point start;
  std::vector<std::thread> threads;
  for (size_t t = 0; t < sessions.size(); ++t) {
    threads.emplace_back([&, t] {
      gate.wait();
      Outcome& outcome = outcomes[t];
      try {
        ClientCore::DataStoreSession::ValueList_var values;
        sessions[t]->get(keys, values.out());
        outcome.what = "OK";
        outcome.values = values->length();
      } catch (const CORBA::TIMEOUT& e) {
        outcome.what = "TIMEOUT";  // --timeout passed without a reply
        outcome.detail = describe(e);
      } catch (const CORBA::TRANSIENT& e) {
        outcome.what = e.minor() == omni::TRANSIENT_CallTimedout ? "TIMEOUT" : "TRANSIENT";
        outcome.detail = describe(e);
      } catch (const CORBA::SystemException& e) {
        outcome.what = e._name();
        outcome.detail = describe(e);
      } catch (const CORBA::UserException& e) {
        outcome.what = e._name();
      }
      outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
      int finished = ++done;
      say("call %d/%zu ended: %s%s after %.2f s", finished, sessions.size(),
          outcome.what.c_str(), outcome.detail.c_str(), outcome.seconds);
    });
  }
  start = Clock::now();
  say("calling");
  gate.open();
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  std::map<std::string, int> counts;
  double slowest = 0;
  bool hung = false;
  for (const Outcome& outcome : outcomes) {
    ++counts[outcome.what];
    slowest = std::max(slowest, outcome.seconds);
    hung = hung || outcome.what == "TIMEOUT";
  }
  for (auto& session : sessions) {
    try {
      store->endSession(session.in());
    } catch (const CORBA::Exception&) {
      // The session may be gone already (the server ends idle or surplus ones).
    }
  }
  std::ostringstream json;
  json << "{\"sessions\": " << settings.sessions << ", \"keys\": " << n
       << ", \"request_bytes\": " << requestBytes << ", \"populated\": " << settings.populate
       << ", \"seconds\": " << seconds << ", \"slowest_call_s\": " << slowest
       << ", \"outcomes\": {";
  const char* comma = "";
  for (const auto& [what, count] : counts) {
    json << comma << "\"" << what << "\": " << count;
    comma = ", ";
  }
  json << "}}";
  std::printf("%s\n", json.str().c_str());
  std::fflush(stdout);
  std::string summary;
  for (const auto& [what, count] : counts) {
    summary += (summary.empty() ? "" : ", ") + std::to_string(count) + " " + what;
  }
  say("%d gets in %.2f s: %s", settings.sessions, seconds, summary.c_str());
  qmr_util::Orb::release();
  orb->destroy();
  return hung ? 1 : 0;
}
