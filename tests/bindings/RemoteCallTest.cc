// RemoteCallTest.cc - stubs and skeletons over real IIOP: every operation of the five
// interfaces against servants in bindings_test_server, user and system exceptions as the
// client sees them, unknown operations, narrowing and _is_a across interfaces.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Harness.h"
#include "TestServants.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession;
using ClientCore::DataStoreSession_var;

// Starts bindings_test_server and returns its servants' references by name.
std::map<std::string, CORBA::Object_var> startServer(const TempDir& dir, Process& server) {
  std::map<std::string, CORBA::Object_var> refs;
  std::string iorFile = dir.file("refs");
  server.start({buildDir() + "/bin/bindings_test_server", "--ior-file", iorFile},
               dir.file("server.log"));
  EXPECT_TRUE(eventually([&] { return std::ifstream(iorFile).good(); }, 10000)) << server.log();
  std::ifstream in(iorFile);
  std::string name, ior;
  while (in >> name >> ior) refs[name] = Stack::instance().orb()->string_to_object(ior.c_str());
  return refs;
}

class RemoteCallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir("bindings-server");
    server_ = new Process;
    refs_ = startServer(*dir_, *server_);
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
  // The calls the server's servants journaled since `mark` (a size of the server's log).
  static std::vector<std::string> callsSince(size_t mark) {
    std::istringstream in(server_->log().substr(mark));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  static size_t mark() { return server_->log().size(); }

  static TempDir* dir_;
  static Process* server_;
  static std::map<std::string, CORBA::Object_var> refs_;
};

TempDir* RemoteCallTest::dir_;
Process* RemoteCallTest::server_;
std::map<std::string, CORBA::Object_var> RemoteCallTest::refs_;

TEST_F(RemoteCallTest, GpiInterfaceCarriesPinsResultsAndInvalidPinWithBothMembers) {
  ClientCore::GpiInterface_var gpi = ref<ClientCore::GpiInterface>("gpi");
  EXPECT_EQ(TestGpi::kPins, gpi->numPins());
  gpi->activate(2);
  EXPECT_TRUE(gpi->isActive(2));
  EXPECT_FALSE(gpi->isActive(1));
  gpi->deactivate(2);
  EXPECT_FALSE(gpi->isActive(2));
  for (CORBA::UShort pin : {4, 65535}) {
    try {
      gpi->isActive(pin);
      ADD_FAILURE() << "isActive(" << pin << ") did not raise";
    } catch (const ClientCore::GpiInterface::InvalidPin& e) {
      EXPECT_EQ(pin, e.pin);
      EXPECT_EQ(TestGpi::kPins, e.numPins);
    }
  }
  EXPECT_THROW(gpi->activate(9), ClientCore::GpiInterface::InvalidPin);
  EXPECT_THROW(gpi->deactivate(9), ClientCore::GpiInterface::InvalidPin);
}

TEST_F(RemoteCallTest, RenderdAndVspooldOperationsReachTheServantWithTheirArguments) {
  ClientCore::Renderd_var renderd = ref<ClientCore::Renderd>("renderd");
  ClientCore::Vspoold_var vspoold = ref<ClientCore::Vspoold>("vspoold");
  size_t from = mark();
  renderd->activateLayer("base");
  renderd->deactivateLayer("overlay two");
  renderd->removeLayer("");
  renderd->execPresentationScript("show.xml");
  renderd->execPythonCommand("print('h\xc3\xa9')");
  vspoold->addFile("/media/a.mpg");
  vspoold->setLooping(-2147483647 - 1);
  vspoold->flush();
  EXPECT_EQ((std::vector<std::string>{
                "Renderd.activateLayer(base)", "Renderd.deactivateLayer(overlay two)",
                "Renderd.removeLayer()", "Renderd.execPresentationScript(show.xml)",
                "Renderd.execPythonCommand(print('h\xc3\xa9'))", "Vspoold.addFile(/media/a.mpg)",
                "Vspoold.setLooping(-2147483648)", "Vspoold.flush()"}),
            callsSince(from));
}

TEST_F(RemoteCallTest, DataStoreHandsOutSessionsThatStoreAndReturnValues) {
  ClientCore::DataStore_var store = ref<ClientCore::DataStore>("datastore");
  size_t from = mark();
  store->checkDataFile();
  DataStoreSession_var session = store->startSession();
  ASSERT_FALSE(CORBA::is_nil(session));
  EXPECT_TRUE(session->_is_equivalent(refs_.at("session")));

  DataStoreSession::EntryList entries;
  entries.length(2);
  entries[0].key = "a";
  entries[0].data = "caf\xc3\xa9";
  entries[0].expir = -1;
  entries[1].key = "b";
  entries[1].data = "";
  entries[1].expir = 3600;
  session->set(entries);

  ClientCore::StringList keys;
  keys.length(3);
  keys[0] = "b";
  keys[1] = "missing";
  keys[2] = "a";
  DataStoreSession::ValueList_var values;
  session->get(keys, values.out());
  ASSERT_EQ(3u, values->length());
  EXPECT_TRUE(values[0].valid);
  EXPECT_STREQ("", values[0].data);
  EXPECT_FALSE(values[1].valid);
  EXPECT_TRUE(values[2].valid);
  EXPECT_STREQ("caf\xc3\xa9", values[2].data);

  keys.length(1);
  session->remove(keys);  // "b"
  session->get(keys, values.out());
  ASSERT_EQ(1u, values->length());
  EXPECT_FALSE(values[0].valid);
  keys.length(0);
  session->get(keys, values.out());
  EXPECT_EQ(0u, values->length());

  session->commit();
  session->abort();
  store->endSession(session);
  store->endSession(DataStoreSession::_nil());
  EXPECT_EQ((std::vector<std::string>{"DataStore.checkDataFile()", "DataStore.startSession()",
                                      "Session.set(2)", "  a expir -1", "  b expir 3600",
                                      "Session.get(3)", "Session.remove(1)", "Session.get(1)",
                                      "Session.get(0)", "Session.commit()", "Session.abort()",
                                      "DataStore.endSession(own)", "DataStore.endSession(other)"}),
            callsSince(from));
}

TEST_F(RemoteCallTest, TransactionSizeExceededArrivesFromSetAndRemove) {
  DataStoreSession_var session = ref<DataStoreSession>("session");
  DataStoreSession::EntryList entries;
  entries.length(TestSession::kMaxBatch + 1);
  for (CORBA::ULong i = 0; i < entries.length(); ++i) entries[i].key = "k";
  EXPECT_THROW(session->set(entries), DataStoreSession::TransactionSizeExceeded);
  ClientCore::StringList keys;
  keys.length(TestSession::kMaxBatch + 1);
  for (CORBA::ULong i = 0; i < keys.length(); ++i) keys[i] = "k";
  EXPECT_THROW(session->remove(keys), DataStoreSession::TransactionSizeExceeded);
}

TEST_F(RemoteCallTest, UserExceptionsNotDeclaredForTheOperationArriveAsUnknown) {
  DataStoreSession_var faulty = ref<DataStoreSession>("session-faulty");
  ClientCore::StringList keys;
  DataStoreSession::ValueList_var values;
  EXPECT_THROW(faulty->get(keys, values.out()), CORBA::UNKNOWN);
  EXPECT_THROW(faulty->commit(), CORBA::UNKNOWN);
  ClientCore::GpiInterface_var gpi = ref<ClientCore::GpiInterface>("gpi-faulty");
  EXPECT_THROW(gpi->numPins(), CORBA::UNKNOWN);
  // The same exception where it is declared still arrives as itself.
  EXPECT_THROW(gpi->isActive(TestGpi::kPins), ClientCore::GpiInterface::InvalidPin);
  // So does anything that is not a CORBA exception at all.
  ClientCore::Renderd_var renderd = ref<ClientCore::Renderd>("renderd-faulty");
  EXPECT_THROW(renderd->execPythonCommand("x"), CORBA::UNKNOWN);
}

TEST_F(RemoteCallTest, SystemExceptionsKeepTheirTypeMinorCodeAndCompletion) {
  DataStoreSession_var faulty = ref<DataStoreSession>("session-faulty");
  try {
    faulty->abort();
    ADD_FAILURE() << "abort did not raise";
  } catch (const CORBA::NO_PERMISSION& e) {
    EXPECT_EQ(7u, e.minor());
    EXPECT_EQ(CORBA::COMPLETED_YES, e.completed());
  }
}

// Sends `operation` without arguments as a dynamic request and returns the name of the system
// exception it ended with ("" when it succeeded).
std::string dynamicCall(CORBA::Object_ptr target, const char* operation) {
  CORBA::Request_var request = target->_request(operation);
  try {
    request->invoke();
  } catch (const CORBA::SystemException& e) {
    return e._name();
  }
  CORBA::Exception* raised = request->env()->exception();
  return raised == nullptr ? "" : raised->_name();
}

TEST_F(RemoteCallTest, UnknownOperationNamesAreAnsweredWithBadOperation) {
  CORBA::Object_ptr session = refs_.at("session");
  EXPECT_EQ("", dynamicCall(session, "commit"));  // the dynamic path itself works
  for (const char* name : {"Commit", "COMMIT", "Get", "fetch", "commit2", "numPins"}) {
    EXPECT_EQ("BAD_OPERATION", dynamicCall(session, name)) << name;
  }
  EXPECT_EQ("BAD_OPERATION", dynamicCall(refs_.at("gpi"), "NumPins"));
  EXPECT_EQ("BAD_OPERATION", dynamicCall(refs_.at("datastore"), "startsession"));
  EXPECT_EQ("BAD_OPERATION", dynamicCall(refs_.at("vspoold"), "Flush"));
}

const std::map<std::string, std::string> kRepositoryIds = {
    {"gpi", "IDL:ClientCore/GpiInterface:1.0"},
    {"renderd", "IDL:ClientCore/Renderd:1.0"},
    {"vspoold", "IDL:ClientCore/Vspoold:1.0"},
    {"datastore", "IDL:ClientCore/DataStore:1.0"},
    {"session", "IDL:ClientCore/DataStoreSession:1.0"}};

TEST_F(RemoteCallTest, IsAAcrossInterfacesIsFalse) {
  for (const auto& object : kRepositoryIds) {
    for (const auto& id : kRepositoryIds) {
      EXPECT_EQ(object.first == id.first, refs_.at(object.first)->_is_a(id.second.c_str()))
          << object.first << " _is_a " << id.second;
    }
    EXPECT_FALSE(refs_.at(object.first)->_is_a("IDL:ClientCore/Other:1.0"));
  }
}

TEST_F(RemoteCallTest, NarrowOfNilOrOfAnotherInterfaceGivesNil) {
  EXPECT_TRUE(CORBA::is_nil(ClientCore::DataStore::_narrow(CORBA::Object::_nil())));
  EXPECT_TRUE(CORBA::is_nil(DataStoreSession::_narrow(CORBA::Object::_nil())));
  // Plain references as a client gets them from a text, without the type known in advance.
  std::map<std::string, CORBA::Object_var> plain;
  for (const auto& object : kRepositoryIds) {
    CORBA::String_var ior = Stack::instance().orb()->object_to_string(refs_.at(object.first));
    plain[object.first] = Stack::instance().orb()->string_to_object(ior);
  }
  auto nils = [&](const char* name) {
    CORBA::Object_ptr obj = plain.at(name);
    std::string out;
    CORBA::Object_var n1 = ClientCore::GpiInterface::_narrow(obj);
    CORBA::Object_var n2 = ClientCore::Renderd::_narrow(obj);
    CORBA::Object_var n3 = ClientCore::Vspoold::_narrow(obj);
    CORBA::Object_var n4 = ClientCore::DataStore::_narrow(obj);
    CORBA::Object_var n5 = DataStoreSession::_narrow(obj);
    for (CORBA::Object_ptr n : {n1.in(), n2.in(), n3.in(), n4.in(), n5.in()}) {
      out += CORBA::is_nil(n) ? '-' : '+';
    }
    return out;
  };
  EXPECT_EQ("+----", nils("gpi"));
  EXPECT_EQ("-+---", nils("renderd"));
  EXPECT_EQ("--+--", nils("vspoold"));
  EXPECT_EQ("---+-", nils("datastore"));
  EXPECT_EQ("----+", nils("session"));
}

// The repository id in a reference is enough to narrow it to its own interface; any other
// interface needs the object's answer. With the server gone, only the second can fail.
TEST(RemoteNarrowTest, NarrowToTheReferencesOwnTypeNeedsNoCallToTheServer) {
  TempDir dir("bindings-server");
  Process server;
  auto refs = startServer(dir, server);
  ASSERT_EQ(1u, refs.count("session"));
  server.kill9();
  DataStoreSession_var session = DataStoreSession::_narrow(refs["session"]);
  EXPECT_FALSE(CORBA::is_nil(session));
  EXPECT_THROW(ClientCore::DataStore_var store = ClientCore::DataStore::_narrow(refs["session"]),
               CORBA::TRANSIENT);
  EXPECT_THROW(session->commit(), CORBA::TRANSIENT);
}

}  // namespace
}  // namespace qmr_test
