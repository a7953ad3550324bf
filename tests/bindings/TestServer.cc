// TestServer.cc - bindings_test_server: hosts the binding tests' servants so that tests call
// them over IIOP on loopback.
//
//   bindings_test_server --ior-file FILE [-ORB options]
//
// Writes "NAME IOR" lines for every servant (see activateAll) to FILE once they are ready,
// prints each call the servants receive as one line on stdout, and runs until killed.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "TestServants.h"

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string endpoint = "giop:tcp:127.0.0.1:";
  args.push_back(const_cast<char*>("-ORBendPoint"));
  args.push_back(&endpoint[0]);
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  CORBA::ORB_var orb = CORBA::ORB_init(n, args.data());

  std::string iorFile;
  for (int i = 1; i < n; ++i) {
    if (std::strcmp(args[i], "--help") == 0) {
      std::cout << "usage: bindings_test_server --ior-file FILE [-ORB options]\n"
                   "Hosts test servants of every ClientCore interface on 127.0.0.1, writes\n"
                   "their references to FILE and prints every call it receives.\n";
      return 0;
    }
    if (std::strcmp(args[i], "--ior-file") == 0 && i + 1 < n) iorFile = args[++i];
  }
  if (iorFile.empty()) {
    std::cerr << "bindings_test_server: --ior-file FILE is required (see --help)\n";
    return 2;
  }

  CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
  PortableServer::POAManager_var manager = poa->the_POAManager();
  manager->activate();

  qmr_test::Journal journal([](const std::string& line) { std::cout << line << std::endl; });
  auto refs = qmr_test::activateAll(poa, journal);
  {
    std::string tmp = iorFile + ".tmp";
    std::ofstream out(tmp);
    for (auto& entry : refs) {
      CORBA::String_var ior = orb->object_to_string(entry.second);
      out << entry.first << " " << ior.in() << "\n";
    }
    out.close();
    if (!out || std::rename(tmp.c_str(), iorFile.c_str()) != 0) {
      std::cerr << "bindings_test_server: cannot write " << iorFile << "\n";
      return 1;
    }
  }
  orb->run();
  orb->destroy();
  return 0;
}
