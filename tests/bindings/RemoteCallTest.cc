// RemoteCallTest.cc - one smoke test of the generated stubs and skeletons over real IIOP,
// against the servants of bindings_test_server.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qmr/ClientCore/GpiInterface.hh"
#include "Harness.h"

namespace qmr_test {
namespace {

using ClientCore::GpiInterface;

class RemoteCallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir("bindings-server");
    server_ = new Process;
    server_->start({buildDir() + "/bin/bindings_test_server"}, dir_->file("server.log"));
    ASSERT_TRUE(
        eventually([] { return server_->log().find("\nready\n") != std::string::npos; }, 10000))
        << server_->log();
    std::istringstream in(server_->log());
    for (std::string line; std::getline(in, line) && line != "ready";) {
      const std::string ior = line.substr(line.find(' ') + 1);
      refs_[line.substr(0, line.find(' '))] =
          Stack::instance().orb()->string_to_object(ior.c_str());
    }
  }
  static void TearDownTestSuite() {
    refs_.clear();
    delete server_;
    delete dir_;
  }

  template <typename T>
  static typename T::_ptr_type ref(const std::string& name) {
    typename T::_ptr_type narrowed = T::_narrow(refs_.at(name));
    EXPECT_FALSE(CORBA::is_nil(narrowed)) << name;
    return narrowed;
  }

  static TempDir* dir_;
  static Process* server_;
  static std::map<std::string, CORBA::Object_var> refs_;
};

TempDir* RemoteCallTest::dir_;
Process* RemoteCallTest::server_;
std::map<std::string, CORBA::Object_var> RemoteCallTest::refs_;

// What a call raised as the client sees it: "InvalidPin(pin,numPins)", the name of any other
// exception, or "" when it returned.
template <typename F>
std::string raised(F call) {
  try {
    call();
  } catch (const GpiInterface::InvalidPin& e) {
    return "InvalidPin(" + std::to_string(e.pin) + "," + std::to_string(e.numPins) + ")";
  } catch (const CORBA::Exception& e) {
    return e._name();
  }
  return "";
}

// A smoke test of the stubs and skeletons over real IIOP: a call returns its result, and a
// declared user exception arrives with its members.
TEST_F(RemoteCallTest, ACallReturnsItsResultAndADeclaredExceptionItsMembers) {
  ClientCore::GpiInterface_var gpi = ref<GpiInterface>("gpi");
  EXPECT_EQ(4, gpi->numPins());
  ClientCore::GpiInterface_var faulty = ref<GpiInterface>("gpi-faulty");
  EXPECT_EQ("InvalidPin(3,4)", raised([&] { faulty->activate(3); }));
}

}  // namespace
}  // namespace qmr_test
