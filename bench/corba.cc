// corba.cc - qmr-bench-corba: reads and writes against qmr-datastored from C++, either through
// the generated stub (ClientCore::DataStoreSession, the key list built once) or through
// QMR_Client::DataStoreManager (caching off or on), which is what the library adds on top.
//
// Usage: qmr-bench-corba -ORBInitRef NameService=... populate|reads|writes
//                        [--method stub|manager|manager-cache] [--shapes ...] [--entries ...]
// Stub reads also report the bytes each request and reply took on the wire (TCP_INFO), which
// the floor benchmark then carries.
#include <omniORB4/CORBA.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "qmr/DataStoreManager.h"
#include "qmr/util/Orb.h"

namespace {

using qmr_bench::Result;

std::string g_dataStore = "DataStore";
std::string g_label;                // --label: method name in the result lines (default: --method)
std::string g_writePrefix = "w:";  // --prefix: keys of the writes start with it

void usage() {
  std::printf(
      "qmr-bench-corba: data store reads and writes from C++ (generated stub or manager).\n"
      "Usage: qmr-bench-corba [ORB options] populate|reads|writes [options]\n"
      "  populate          store every key of every shape (%d keys per value length)\n"
      "  reads             time a get() of each shape's keys\n"
      "  writes            time set() of N entries then commit() for each N of --entries\n"
      "  --method M        stub, manager or manager-cache (default stub)\n"
      "  --entries LIST    write sizes (default 1,10,100)\n"
      "  --datastore NAME  Naming Service name or IOR of the data store (default DataStore)\n"
      "  --label NAME      method name in the result lines (default: the --method)\n"
      "  --prefix TEXT     keys of the writes start with TEXT (default w:), so that\n"
      "                    concurrent writer processes can write keys of their own\n%s"
      "ORB options: -ORBInitRef NameService=corbaloc::127.0.0.1:PORT/NameService\n",
      qmr_bench::kMaxKeys, qmr_bench::CommonOptions::usage());
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "qmr-bench-corba: %s\n", what.c_str());
  std::exit(1);
}

// A new session of the data store; the caller owns it.
ClientCore::DataStoreSession_ptr startSession() {
  ClientCore::DataStore_var store = QMR_Client::lookup_object<ClientCore::DataStore>(g_dataStore);
  if (CORBA::is_nil(store)) die("no data store is registered as '" + g_dataStore + "'");
  ClientCore::DataStoreSession_var session = store->startSession();
  if (CORBA::is_nil(session)) die("the data store returned no session");
  return session._retn();
}

void populate(const std::vector<qmr_bench::Shape>& shapes) {
  ClientCore::DataStoreSession_var session = startSession();
  const int chunk = 100;  // stays below any sensible transaction size limit
  for (const qmr_bench::Shape& shape : shapes) {
    for (int first = 0; first < qmr_bench::kMaxKeys; first += chunk) {
      ClientCore::DataStoreSession::EntryList list(chunk);
      list.length(chunk);
      for (int i = 0; i < chunk; ++i) {
        list[i].key = qmr_bench::keyName(shape.valueBytes, first + i).c_str();
        list[i].data = qmr_bench::valueFor(shape.valueBytes, first + i).c_str();
        list[i].expir = 0;
      }
      session->set(list);
      session->commit();
    }
  }
}

void readsStub(const qmr_bench::CommonOptions& options) {
  ClientCore::DataStoreSession_var session = startSession();
  for (const qmr_bench::Shape& shape : options.shapes) {
    const std::vector<std::string> keys = qmr_bench::keyNames(shape.valueBytes, shape.keys);
    const CORBA::ULong n = static_cast<CORBA::ULong>(keys.size());
    ClientCore::StringList keyList(n);
    keyList.length(n);
    for (CORBA::ULong i = 0; i < n; ++i) keyList[i] = keys[i].c_str();
    bool ok = true;
    auto call = [&] {
      ClientCore::DataStoreSession::ValueList_var values;
      session->get(keyList, values.out());
      ok = ok && values->length() == n && values[0].valid &&
           std::strlen(values[0].data.in()) == static_cast<std::size_t>(shape.valueBytes);
    };
    call();  // connection set-up stays out of the byte count
    const qmr_bench::TcpBytes before = qmr_bench::tcpBytes();
    const int counted = 20;
    for (int i = 0; i < counted; ++i) call();
    const qmr_bench::TcpBytes after = qmr_bench::tcpBytes();
    long calls = 0;
    double cpu = 0;
    qmr_bench::Latencies lat;
    const double us =
        qmr_bench::timeCalls(call, options.seconds, options.warmup, 20, &calls, &cpu, &lat);
    if (!ok) die("get() did not return every value; run populate first");
    Result("read").str("method", g_label.empty() ? "stub" : g_label).num("keys", shape.keys)
        .num("value_bytes", shape.valueBytes).num("us", us).num("cpu_us", cpu)
        .num("p50_us", lat.percentile(50)).num("p99_us", lat.percentile(99))
        .num("calls", static_cast<double>(calls))
        .num("request_bytes", static_cast<double>(after.sent - before.sent) / counted)
        .num("reply_bytes", static_cast<double>(after.received - before.received) / counted)
        .print();
  }
}

void readsManager(const qmr_bench::CommonOptions& options, bool caching) {
  QMR_Client::DataStoreManager::init(g_dataStore);
  QMR_Client::DataStoreManager* manager = QMR_Client::DataStoreManager::instance();
  for (const qmr_bench::Shape& shape : options.shapes) {
    const std::vector<std::string> names = qmr_bench::keyNames(shape.valueBytes, shape.keys);
    const std::set<std::string> keys(names.begin(), names.end());
    std::map<std::string, std::string> results;
    std::set<std::string> missing;
    bool ok = true;
    long calls = 0;
    double cpu = 0;
    qmr_bench::Latencies lat;
    const double us = qmr_bench::timeCalls(
        [&] {
          ok = manager->get(keys, results, missing, caching) && ok;
        },
        options.seconds, options.warmup, 20, &calls, &cpu, &lat);
    if (!ok || !missing.empty() || results.size() != keys.size()) {
      die("get() did not return every value; run populate first");
    }
    Result("read").str("method", caching ? "manager-cache" : "manager").num("keys", shape.keys)
        .num("value_bytes", shape.valueBytes).num("us", us).num("cpu_us", cpu)
        .num("p50_us", lat.percentile(50)).num("p99_us", lat.percentile(99))
        .num("calls", static_cast<double>(calls)).print();
  }
  QMR_Client::DataStoreManager::uninit();
}

void writes(const qmr_bench::CommonOptions& options, const std::string& method,
            const std::vector<int>& entries) {
  ClientCore::DataStoreSession_var session;
  QMR_Client::DataStoreManager* manager = nullptr;
  if (method == "stub") {
    session = startSession();
  } else {
    QMR_Client::DataStoreManager::init(g_dataStore);
    manager = QMR_Client::DataStoreManager::instance();
  }
  for (int n : entries) {
    std::list<QMR_Client::DataStoreManager::Entry> list;
    ClientCore::DataStoreSession::EntryList wire(static_cast<CORBA::ULong>(n));
    wire.length(static_cast<CORBA::ULong>(n));
    for (int i = 0; i < n; ++i) {
      const std::string key = g_writePrefix + qmr_bench::keyName(16, i);
      const std::string value = qmr_bench::valueFor(16, i);
      list.emplace_back(key, value, 0);
      wire[i].key = key.c_str();
      wire[i].data = value.c_str();
      wire[i].expir = 0;
    }
    bool ok = true;
    long calls = 0;
    qmr_bench::Latencies lat;
    const double us = qmr_bench::timeCalls(
        [&] {
          if (manager != nullptr) {
            ok = manager->set(list) && manager->commit() && ok;
          } else {
            session->set(wire);
            session->commit();
          }
        },
        options.seconds, options.warmup / 4, 10, &calls, nullptr, &lat);
    if (!ok) die("set() or commit() failed; see the log lines above");
    Result("write").str("method", g_label.empty() ? method : g_label).num("entries", n)
        .num("us", us).num("p50_us", lat.percentile(50)).num("p99_us", lat.percentile(99))
        .num("calls", static_cast<double>(calls)).print();
  }
  if (manager != nullptr) QMR_Client::DataStoreManager::uninit();
}

}  // namespace

int main(int argc, char** argv) {
  qmr_util::OrbOptions orbOptions;
  std::vector<std::string> args;
  std::string error;
  if (!orbOptions.parse(argc, argv, &args, &error)) die(error + " (see --help)");
  std::vector<char*> rest = {argv[0]};
  for (std::string& a : args) rest.push_back(&a[0]);
  CORBA::ORB_var orb;
  try {
    orb = qmr_util::Orb::init(argv[0], orbOptions);
  } catch (const CORBA::SystemException& e) {
    die(std::string("cannot initialise the ORB: ") + e._name() + " (check the -ORB options)");
  } catch (const qmr_util::TlsError& e) {
    die(std::string("TLS cannot be set up: ") + e.what());
  }
  qmr_bench::CommonOptions options;
  bool help = false;
  if (!options.parse(static_cast<int>(rest.size()), rest.data(), &help, &error)) {
    die(error + " (see --help)");
  }
  if (help) {
    usage();
    return 0;
  }
  std::string mode, method = "stub";
  std::vector<int> entries{1, 10, 100};
  for (std::size_t i = 0; i < options.rest.size(); ++i) {
    const std::string& arg = options.rest[i];
    const bool hasValue = i + 1 < options.rest.size();
    if (arg == "--method" && hasValue) {
      method = options.rest[++i];
      if (method != "stub" && method != "manager" && method != "manager-cache") {
        die("--method is stub, manager or manager-cache, not '" + method + "'");
      }
    } else if (arg == "--datastore" && hasValue) {
      g_dataStore = options.rest[++i];
    } else if (arg == "--label" && hasValue) {
      g_label = options.rest[++i];
    } else if (arg == "--prefix" && hasValue) {
      g_writePrefix = options.rest[++i];
    } else if (arg == "--entries" && hasValue) {
      std::string bad;
      if (!qmr_bench::parseEntryCounts(options.rest[++i], &entries, &bad)) die(bad);
    } else if (arg == "populate" || arg == "reads" || arg == "writes") {
      mode = arg;
    } else {
      die("unknown argument '" + arg + "' (see --help)");
    }
  }
  if (mode.empty()) die("say what to do: populate, reads or writes (see --help)");
  int rc = 0;
  try {
    qmr_bench::waitUntil(options.startAt);
    if (mode == "populate") populate(options.shapes);
    if (mode == "reads" && method == "stub") readsStub(options);
    if (mode == "reads" && method != "stub") readsManager(options, method == "manager-cache");
    if (mode == "writes") writes(options, method == "stub" ? "stub" : "manager", entries);
  } catch (const qmr_util::BaseException& e) {
    std::fprintf(stderr, "qmr-bench-corba: %s\n", e.what());
    rc = 1;
  } catch (const CORBA::SystemException& e) {
    std::fprintf(stderr, "qmr-bench-corba: CORBA system exception %s (is the stack up?)\n",
                 e._name());
    rc = 1;
  } catch (const CORBA::UserException& e) {
    std::fprintf(stderr, "qmr-bench-corba: the data store refused: %s\n", e._name());
    rc = 1;
  }
  qmr_util::Orb::release();
  orb->destroy();
  return rc;
}
