// RemoteCallTest.cc - the generated stubs and skeletons over real IIOP, against the servants of
// bindings_test_server: a user exception arrives with its members where the operation declares
// it and as UNKNOWN where not, and a reference narrows to its own interface only.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qmr/ClientCore/DataStore.hh"
#include "qmr/ClientCore/DataStoreSession.hh"
#include "qmr/ClientCore/GpiInterface.hh"
#include "Harness.h"
#include "qmr/ClientCore/Renderd.hh"
#include "qmr/ClientCore/Vspoold.hh"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession;
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

// The faulty servants raise their interface's user exception from every operation.
TEST_F(RemoteCallTest, UserExceptionsArriveWithTheirMembersOnlyWhereDeclared) {
  ClientCore::GpiInterface_var gpi = ref<GpiInterface>("gpi-faulty");
  EXPECT_EQ("InvalidPin(3,4)", raised([&] { gpi->activate(3); }));
  EXPECT_EQ("InvalidPin(65535,4)", raised([&] { gpi->deactivate(65535); }));
  EXPECT_EQ("InvalidPin(0,4)", raised([&] { gpi->isActive(0); }));
  EXPECT_EQ("UNKNOWN", raised([&] { gpi->numPins(); }));

  ClientCore::DataStoreSession_var session = ref<DataStoreSession>("session-faulty");
  DataStoreSession::EntryList entries;
  ClientCore::StringList keys;
  DataStoreSession::ValueList_var values;
  EXPECT_EQ("TransactionSizeExceeded", raised([&] { session->set(entries); }));
  EXPECT_EQ("TransactionSizeExceeded", raised([&] { session->remove(keys); }));
  EXPECT_EQ("UNKNOWN", raised([&] { session->get(keys, values.out()); }));
  EXPECT_EQ("UNKNOWN", raised([&] { session->commit(); }));
  EXPECT_EQ("UNKNOWN", raised([&] { session->abort(); }));
}

// One row per object: '+' where narrowing to the interface of that column gives a reference
// and _is_a agrees, '-' where both say no.
TEST_F(RemoteCallTest, NarrowAndIsAAcceptOnlyTheObjectsOwnInterface) {
  EXPECT_TRUE(CORBA::is_nil(ClientCore::DataStore::_narrow(CORBA::Object::_nil())));
  EXPECT_TRUE(CORBA::is_nil(DataStoreSession::_narrow(CORBA::Object::_nil())));
  const char* const ids[] = {GpiInterface::_PD_repoId, ClientCore::Renderd::_PD_repoId,
                             ClientCore::Vspoold::_PD_repoId, ClientCore::DataStore::_PD_repoId,
                             DataStoreSession::_PD_repoId};
  auto row = [&](const char* name) {
    // A plain reference, as a client gets it from a text without knowing its type.
    CORBA::String_var ior = Stack::instance().orb()->object_to_string(refs_.at(name));
    CORBA::Object_var obj = Stack::instance().orb()->string_to_object(ior);
    CORBA::Object_var narrowed[] = {GpiInterface::_narrow(obj), ClientCore::Renderd::_narrow(obj),
                                    ClientCore::Vspoold::_narrow(obj),
                                    ClientCore::DataStore::_narrow(obj),
                                    DataStoreSession::_narrow(obj)};
    std::string out;
    for (int i = 0; i < 5; ++i) {
      bool isA = obj->_is_a(ids[i]);
      out += isA != CORBA::is_nil(narrowed[i]) ? (isA ? '+' : '-') : '?';
    }
    return out + (obj->_is_a("IDL:ClientCore/Other:1.0") ? "+" : "");
  };
  EXPECT_EQ("+----", row("gpi"));
  EXPECT_EQ("-+---", row("renderd"));
  EXPECT_EQ("--+--", row("vspoold"));
  EXPECT_EQ("---+-", row("datastore"));
  EXPECT_EQ("----+", row("session"));
}

}  // namespace
}  // namespace qmr_test
