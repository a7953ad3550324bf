// orbonly.cc - qmr-bench-orbonly: the reference "ORB-only" data store for the benchmarks. A
// minimal DataStore and DataStoreSession behind the generated skeletons, entries in one
// unordered_map, no transactions, no limits, no database: what the ORB alone costs, so that
// the tables show what qmr-datastored adds. Same transport tuning as our programs.
//
// Usage: qmr-bench-orbonly --ior-file FILE [-ORB options]
// Listens on 127.0.0.1 (unless -ORBendPoint says otherwise), writes its DataStore reference to
// FILE, and runs until SIGINT or SIGTERM.
#include <omniORB4/CORBA.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "qmr/ClientCore/DataStore.hh"
#include "qmr/ClientCore/DataStoreSession.hh"
#include "qmr/util/Orb.h"
#include "qmr/util/OrbOptions.h"

namespace {

// The entries, shared by every session; set() stores at once, commit() does nothing.
class Entries {
 public:
  void get(const ClientCore::StringList& keys, ClientCore::DataStoreSession::ValueList& out) {
    std::string key;
    std::lock_guard<std::mutex> lock(mutex_);
    for (CORBA::ULong i = 0; i < keys.length(); ++i) {
      key.assign(keys[i].in());
      auto it = map_.find(key);
      out[i].valid = it != map_.end();
      if (out[i].valid) out[i].data = it->second.c_str();
    }
  }
  void set(const std::string& key, const char* data) {
    std::lock_guard<std::mutex> lock(mutex_);
    map_[key] = data;
  }
  void remove(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    map_.erase(key);
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::string> map_;  // guarded by mutex_
};

class Session : public POA_ClientCore::DataStoreSession {
 public:
  explicit Session(Entries& entries) : entries_(entries) {}
  void get(const ClientCore::StringList& keys,
           ClientCore::DataStoreSession::ValueList_out values) override {
    ClientCore::DataStoreSession::ValueList_var result =
        new ClientCore::DataStoreSession::ValueList(keys.length());
    result->length(keys.length());
    entries_.get(keys, result.inout());
    values = result._retn();
  }
  void set(const ClientCore::DataStoreSession::EntryList& list) override {
    for (CORBA::ULong i = 0; i < list.length(); ++i) entries_.set(list[i].key.in(), list[i].data);
  }
  void remove(const ClientCore::StringList& keys) override {
    for (CORBA::ULong i = 0; i < keys.length(); ++i) entries_.remove(keys[i].in());
  }
  void commit() override {}
  void abort() override {}

 private:
  Entries& entries_;
};

class Store : public POA_ClientCore::DataStore {
 public:
  explicit Store(ClientCore::DataStoreSession_ptr session)
      : session_(ClientCore::DataStoreSession::_duplicate(session)) {}
  void checkDataFile() override {}
  ClientCore::DataStoreSession_ptr startSession() override {
    return ClientCore::DataStoreSession::_duplicate(session_.in());
  }
  void endSession(ClientCore::DataStoreSession_ptr) override {}

 private:
  ClientCore::DataStoreSession_var session_;  // one session object serves every client
};

}  // namespace

int main(int argc, char** argv) {
  std::string iorFile;
  qmr_util::OrbOptions orbOptions;
  std::vector<std::string> args;
  std::string error;
  if (!orbOptions.parse(argc, argv, &args, &error)) {
    std::fprintf(stderr, "qmr-bench-orbonly: %s (see --help)\n", error.c_str());
    return 2;
  }
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      std::printf(
          "qmr-bench-orbonly: a minimal in-memory DataStore (the ORB alone) for benchmarks.\n"
          "Usage: qmr-bench-orbonly --ior-file FILE [-ORB options]\n"
          "Writes the DataStore reference to FILE and serves on 127.0.0.1 until SIGTERM.\n");
      return 0;
    }
    if (args[i] == "--ior-file" && i + 1 < args.size()) {
      iorFile = args[++i];
    } else {
      std::fprintf(stderr, "qmr-bench-orbonly: unknown argument '%s' (see --help)\n",
                   args[i].c_str());
      return 2;
    }
  }
  if (iorFile.empty()) {
    std::fprintf(stderr, "qmr-bench-orbonly: --ior-file FILE is required (see --help)\n");
    return 2;
  }

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  // The same start-up as qmr-datastored: loopback endpoint, the same transport tuning.
  CORBA::ORB_var orb = qmr_util::Orb::init(argv[0], orbOptions);
  CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(obj.in());
  Entries entries;
  PortableServer::Servant_var<Session> session(new Session(entries));
  PortableServer::ObjectId_var sid = poa->activate_object(session.in());
  CORBA::Object_var sessionRef = poa->id_to_reference(sid.in());
  ClientCore::DataStoreSession_var sessionObj =
      ClientCore::DataStoreSession::_narrow(sessionRef.in());
  PortableServer::Servant_var<Store> store(new Store(sessionObj.in()));
  PortableServer::ObjectId_var id = poa->activate_object(store.in());
  CORBA::Object_var ref = poa->id_to_reference(id.in());
  PortableServer::POAManager_var manager = poa->the_POAManager();
  manager->activate();

  CORBA::String_var ior = orb->object_to_string(ref.in());
  {
    std::string tmp = iorFile + ".tmp";
    std::ofstream(tmp) << ior.in() << '\n';
    if (std::rename(tmp.c_str(), iorFile.c_str()) != 0) {
      std::fprintf(stderr, "qmr-bench-orbonly: cannot write %s\n", iorFile.c_str());
      return 1;
    }
  }
  int signal = 0;
  sigwait(&stop, &signal);
  orb->shutdown(true);
  orb->destroy();
  return 0;
}
