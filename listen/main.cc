// qmr-listen - prints the events of named event channels, one line per event:
//   CHANNEL TYPE VALUE
// (the channel's name, then the ClientCore::Event's type and value), flushed at once, so that a
// person or a test can watch what scripts signal. Connects a push consumer to each channel found
// under its name in the Naming Service; ends on SIGINT/SIGTERM, after --count events, after
// --timeout seconds, or when a channel disconnects it.
#include <omniORB4/CORBA.h>
#include <COS/CosEventChannelAdmin.hh>
#include <COS/CosEventComm.hh>
#include "qmr/ClientCore/Event.hh"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "qmr/util/Lookup.h"
#include "qmr/util/Orb.h"

namespace {

const char kUsage[] =
    "usage: qmr-listen [--count N] [--timeout SECONDS] [ORB OPTIONS] CHANNEL...\n"
    "\n"
    "Prints one line per event pushed on each CHANNEL: \"CHANNEL TYPE VALUE\". Channels are\n"
    "found by name in the Naming Service (from /etc/qmr/orb.conf or $QMR_ORB_CONF, or\n"
    "-ORBInitRef NameService=corbaloc:omniunix:SOCKET:/NameService);\n"
    "create one with: eventc -n NAME -ORBInitRef NameService=...\n"
    "\n"
    "  --count N          exit after N events (status 0)\n"
    "  --timeout SECONDS  exit after SECONDS (status 1 if --count was not reached)\n"
    "  -ORBxxx VALUE      ORB options; -ORBendPoint defaults to giop:unix: (a Unix socket)\n"
    "  --tls-ca FILE ...  TLS options, for channels reached through giop:ssl (below)\n"
    "  -h, --help         this text\n"
    "\n"
    "Once every channel is connected it says \"qmr-listen: listening on ...\" on stderr.\n"
    "Stop it with Ctrl-C or SIGTERM.\n";

// Shared by the consumers (ORB threads) and the main thread.
std::mutex g_mutex;
long g_remaining = -1;  // events still wanted; -1: no limit
bool g_stop = false;
int g_status = 0;

void requestStop(int status) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_stop) g_status = status;
  g_stop = true;
}

bool stopRequested() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_stop;
}

class EventPrinter : public POA_CosEventComm::PushConsumer {
 public:
  explicit EventPrinter(const std::string& channel) : channel_(channel) {}

  void push(const CORBA::Any& data) override {
    const ClientCore::Event* event = nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_remaining == 0) return;
    if (data >>= event) {
      std::printf("%s %s %s\n", channel_.c_str(), event->type.in(), event->value.in());
      std::fflush(stdout);
    } else {
      CORBA::TypeCode_var tc = data.type();
      std::fprintf(stderr, "qmr-listen: %s: ignored an event that is not a ClientCore::Event "
                   "(TypeCode kind %d)\n", channel_.c_str(), static_cast<int>(tc->kind()));
      return;
    }
    if (g_remaining > 0 && --g_remaining == 0) g_stop = true;
  }

  void disconnect_push_consumer() override {
    std::fprintf(stderr, "qmr-listen: channel %s disconnected this listener\n", channel_.c_str());
    requestStop(1);
  }

 private:
  std::string channel_;
};

struct Options {
  long count = -1;
  long timeoutSeconds = -1;
  qmr_util::OrbOptions orb;
  std::vector<std::string> channels;
};

bool parseNumber(const char* text, long* value) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 0) return false;
  *value = v;
  return true;
}

// Returns -1 to go on, otherwise the exit status (after printing help or an error).
int parseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::fputs("\n", stdout);
      std::fputs(qmr_util::TlsOptions::helpText(), stdout);
      return 0;
    } else if ((arg == "--count" || arg == "--timeout") && i + 1 < argc) {
      long* target = arg == "--count" ? &options->count : &options->timeoutSeconds;
      if (!parseNumber(argv[++i], target)) {
        std::fprintf(stderr, "qmr-listen: %s needs a whole number >= 0, not '%s'\n", arg.c_str(),
                     argv[i]);
        return 2;
      }
    } else if (qmr_util::OrbOptions::isStartUpOption(arg)) {
      std::string error;
      if (!options->orb.take(argc, argv, &i, &error)) {
        std::fprintf(stderr, "qmr-listen: %s; see qmr-listen --help\n", error.c_str());
        return 2;
      }
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "qmr-listen: unknown or incomplete option '%s'; see qmr-listen --help\n",
                   arg.c_str());
      return 2;
    } else {
      options->channels.push_back(arg);
    }
  }
  if (options->channels.empty()) {
    std::fprintf(stderr, "qmr-listen: name at least one channel; see qmr-listen --help\n");
    return 2;
  }
  return -1;
}

// Connects a printer to `name`'s channel; returns the proxy supplier (owned by the caller), or
// nil after explaining on stderr why not.
CosEventChannelAdmin::ProxyPushSupplier_ptr connect(const std::string& name,
                                                    PortableServer::POA_ptr poa) {
  try {
    CORBA::Object_var obj = qmr_util::raw_lookup(name);
    CosEventChannelAdmin::EventChannel_var channel =
        CosEventChannelAdmin::EventChannel::_narrow(obj);
    if (CORBA::is_nil(channel)) {
      std::fprintf(stderr,
                   "qmr-listen: no event channel is registered as \"%s\"; create it with "
                   "eventc -n %s -ORBInitRef NameService=... (eventc is in the omnievents package)\n",
                   name.c_str(), name.c_str());
      return CosEventChannelAdmin::ProxyPushSupplier::_nil();
    }
    EventPrinter* printer = new EventPrinter(name);
    PortableServer::ObjectId_var id = poa->activate_object(printer);
    printer->_remove_ref();  // the POA holds it now
    CORBA::Object_var ref = poa->id_to_reference(id);
    CosEventComm::PushConsumer_var consumer = CosEventComm::PushConsumer::_narrow(ref);
    CosEventChannelAdmin::ConsumerAdmin_var admin = channel->for_consumers();
    CosEventChannelAdmin::ProxyPushSupplier_var supplier = admin->obtain_push_supplier();
    supplier->connect_push_consumer(consumer);
    return supplier._retn();
  } catch (const CORBA::Exception& ex) {
    std::fprintf(stderr,
                 "qmr-listen: cannot connect to channel \"%s\": CORBA %s; check that omniNames "
                 "and omniEvents run and that -ORBInitRef NameService=... points at them\n",
                 name.c_str(), ex._name());
  }
  return CosEventChannelAdmin::ProxyPushSupplier::_nil();
}

// Waits for a stop request, a signal or the timeout.
void waitForEnd(const sigset_t& signals, long timeoutSeconds) {
  std::time_t deadline = timeoutSeconds >= 0 ? std::time(nullptr) + timeoutSeconds : 0;
  while (!stopRequested()) {
    timespec tick = {0, 100 * 1000 * 1000};
    if (sigtimedwait(&signals, nullptr, &tick) > 0) {
      requestStop(0);
    } else if (timeoutSeconds >= 0 && std::time(nullptr) >= deadline) {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_status = g_remaining > 0 ? 1 : 0;
      if (g_remaining > 0)
        std::fprintf(stderr, "qmr-listen: timed out with %ld event(s) still expected\n",
                     g_remaining);
      g_stop = true;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int early = parseOptions(argc, argv, &options);
  if (early >= 0) return early;
  g_remaining = options.count;
  if (g_remaining == 0) return 0;

  // Signals are taken by the main thread only: block them before the ORB starts its threads.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  CORBA::ORB_var orb;
  try {
    orb = qmr_util::Orb::init(argv[0], options.orb);
  } catch (const CORBA::SystemException& ex) {
    std::fprintf(stderr, "qmr-listen: the ORB did not accept its options (%s)\n", ex._name());
    return 2;
  } catch (const qmr_util::TlsError& ex) {
    std::fprintf(stderr, "qmr-listen: TLS cannot be set up: %s\n", ex.what());
    return 2;
  }

  int status = 0;
  std::vector<CosEventChannelAdmin::ProxyPushSupplier_var> suppliers;
  {
    CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    std::string names;
    for (const std::string& name : options.channels) {
      CosEventChannelAdmin::ProxyPushSupplier_var supplier = connect(name, poa);
      if (CORBA::is_nil(supplier)) {
        status = 3;
        break;
      }
      suppliers.push_back(supplier);
      names += (names.empty() ? "" : ", ") + name;
    }
    if (status == 0) {
      std::fprintf(stderr, "qmr-listen: listening on %s\n", names.c_str());
      std::fflush(stderr);
      waitForEnd(signals, options.timeoutSeconds);
      std::lock_guard<std::mutex> lock(g_mutex);
      status = g_status;
    }
  }
  for (auto& supplier : suppliers) {
    try {
      supplier->disconnect_push_supplier();
    } catch (const CORBA::Exception&) {
      // The channel is gone or already dropped us: nothing left to undo.
    }
  }
  qmr_util::Orb::release();
  orb->destroy();
  return status;
}
