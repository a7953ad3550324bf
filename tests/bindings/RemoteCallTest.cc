// RemoteCallTest.cc - the generated stubs and skeletons over real IIOP, against the servants of
// bindings_test_server: every operation with its parameter modes, the raises clauses (a
// declared user exception arrives with its members, an undeclared one as UNKNOWN), operation
// names matched exactly, narrowing and _is_a by interface; and a collocated call.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>
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
  // The calls the servants printed since `mark` (a size of the server's log).
  static std::vector<std::string> callsSince(size_t mark) {
    std::istringstream in(server_->log().substr(mark));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  static TempDir* dir_;
  static Process* server_;
  static std::map<std::string, CORBA::Object_var> refs_;
};

TempDir* RemoteCallTest::dir_;
Process* RemoteCallTest::server_;
std::map<std::string, CORBA::Object_var> RemoteCallTest::refs_;

TEST_F(RemoteCallTest, GpiRenderdAndVspooldCarryTheirArgumentsAndResults) {
  ClientCore::GpiInterface_var gpi = ref<GpiInterface>("gpi");
  EXPECT_EQ(4, gpi->numPins());
  gpi->activate(2);
  EXPECT_TRUE(gpi->isActive(2));
  EXPECT_FALSE(gpi->isActive(1));
  gpi->deactivate(2);
  EXPECT_FALSE(gpi->isActive(2));

  ClientCore::Renderd_var renderd = ref<ClientCore::Renderd>("renderd");
  ClientCore::Vspoold_var vspoold = ref<ClientCore::Vspoold>("vspoold");
  size_t mark = server_->log().size();
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
            callsSince(mark));
}

TEST_F(RemoteCallTest, DataStoreSessionsCarryEntriesInAndValuesOut) {
  ClientCore::DataStore_var store = ref<ClientCore::DataStore>("datastore");
  size_t mark = server_->log().size();
  store->checkDataFile();
  ClientCore::DataStoreSession_var session = store->startSession();
  ASSERT_FALSE(CORBA::is_nil(session));

  DataStoreSession::EntryList entries(2);
  entries.length(2);
  entries[0].key = "a";
  entries[0].data = "caf\xc3\xa9";
  entries[0].expir = -1;
  entries[1].key = "b";
  entries[1].data = "";
  entries[1].expir = 3600;
  session->set(entries);
  ClientCore::StringList keys(3);
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
  session->commit();
  session->abort();
  store->endSession(session);
  store->endSession(DataStoreSession::_nil());
  EXPECT_EQ((std::vector<std::string>{"DataStore.checkDataFile()", "DataStore.startSession()",
                                      "Session.set(2)", "  a expir -1", "  b expir 3600",
                                      "Session.get(3)", "Session.remove(1)", "Session.get(1)",
                                      "Session.commit(0)", "Session.abort(0)",
                                      "DataStore.endSession(own)", "DataStore.endSession(other)"}),
            callsSince(mark));
}

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

// Sends `operation` without arguments as a dynamic request; the name of the exception it
// ended with, or "" when it succeeded.
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

TEST_F(RemoteCallTest, OperationNamesMatchExactlyOrGetBadOperation) {
  CORBA::Object_ptr session = refs_.at("session");
  EXPECT_EQ("", dynamicCall(session, "commit"));  // the dynamic path itself works
  for (const char* name : {"Commit", "COMMIT", "fetch", "commit2", "numPins"}) {
    EXPECT_EQ("BAD_OPERATION", dynamicCall(session, name)) << name;
  }
  EXPECT_EQ("BAD_OPERATION", dynamicCall(refs_.at("gpi"), "NumPins"));
  EXPECT_EQ("BAD_OPERATION", dynamicCall(refs_.at("datastore"), "startsession"));
  EXPECT_EQ("BAD_OPERATION", dynamicCall(refs_.at("vspoold"), "Flush"));
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

// A servant in this very process: the stub calls it directly, on the caller's own thread.
class LocalGpi : public POA_ClientCore::GpiInterface {
 public:
  CORBA::UShort numPins() override {
    threads.push_back(std::this_thread::get_id());
    return 2;
  }
  void activate(CORBA::UShort pin) override { throw ClientCore::GpiInterface::InvalidPin(pin, 2); }
  void deactivate(CORBA::UShort) override {}
  CORBA::Boolean isActive(CORBA::UShort) override { return false; }
  std::vector<std::thread::id> threads;
};

TEST(CollocatedCallTest, ReachesTheServantOnTheCallersThread) {
  PortableServer::POA_ptr poa = Stack::instance().rootPoa();
  PortableServer::Servant_var<LocalGpi> servant(new LocalGpi);
  PortableServer::ObjectId_var id = poa->activate_object(servant.in());
  CORBA::Object_var obj = poa->id_to_reference(id);
  ClientCore::GpiInterface_var gpi = GpiInterface::_narrow(obj);
  EXPECT_EQ(2, gpi->numPins());
  EXPECT_EQ(std::vector<std::thread::id>{std::this_thread::get_id()}, servant->threads);
  try {
    gpi->activate(7);
    ADD_FAILURE() << "activate returned";
  } catch (const GpiInterface::InvalidPin& e) {
    EXPECT_EQ(7, e.pin);
    EXPECT_EQ(2, e.numPins);
  }
  poa->deactivate_object(id);
}

}  // namespace
}  // namespace qmr_test
