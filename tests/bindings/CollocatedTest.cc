// CollocatedTest.cc - calls on references to servants of this very process reach the servant
// without leaving the process, with results, out values and declared exceptions intact.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "TestServants.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession;
using ClientCore::DataStoreSession_var;

class CollocatedTest : public ::testing::Test {
 protected:
  // The journal records the thread of every call, so a test can see that the servant ran on
  // the caller's own thread, as only a direct call can.
  CollocatedTest()
      : journal_([this](const std::string&) { threads_.push_back(std::this_thread::get_id()); }),
        refs_(activateAll(Stack::instance().rootPoa(), journal_)) {}
  ~CollocatedTest() override {
    PortableServer::POA_ptr poa = Stack::instance().rootPoa();
    for (auto& ref : refs_) {
      PortableServer::ObjectId_var id = poa->reference_to_id(ref.second);
      poa->deactivate_object(id);
    }
  }

  Journal journal_;
  std::vector<std::thread::id> threads_;
  std::map<std::string, CORBA::Object_var> refs_;
};

TEST_F(CollocatedTest, CallsReachTheServantOnTheCallersThread) {
  ClientCore::DataStore_var store = ClientCore::DataStore::_narrow(refs_["datastore"]);
  DataStoreSession_var session = store->startSession();
  DataStoreSession::EntryList entries;
  entries.length(1);
  entries[0].key = "k";
  entries[0].data = "v";
  entries[0].expir = 5;
  session->set(entries);
  ClientCore::StringList keys;
  keys.length(1);
  keys[0] = "k";
  DataStoreSession::ValueList_var values;
  session->get(keys, values.out());
  ASSERT_EQ(1u, values->length());
  EXPECT_TRUE(values[0].valid);
  EXPECT_STREQ("v", values[0].data);
  ClientCore::GpiInterface_var gpi = ClientCore::GpiInterface::_narrow(refs_["gpi"]);
  EXPECT_EQ(TestGpi::kPins, gpi->numPins());

  EXPECT_EQ((std::vector<std::string>{"DataStore.startSession()", "Session.set(1)", "  k expir 5",
                                      "Session.get(1)", "Gpi.numPins()"}),
            journal_.lines());
  ASSERT_EQ(5u, threads_.size());
  for (const auto& id : threads_) EXPECT_EQ(std::this_thread::get_id(), id);
}

TEST_F(CollocatedTest, DeclaredAndSystemExceptionsReachTheCallerUnchanged) {
  ClientCore::GpiInterface_var gpi = ClientCore::GpiInterface::_narrow(refs_["gpi"]);
  try {
    gpi->activate(TestGpi::kPins + 1);
    ADD_FAILURE() << "activate did not raise";
  } catch (const ClientCore::GpiInterface::InvalidPin& e) {
    EXPECT_EQ(TestGpi::kPins + 1, e.pin);
    EXPECT_EQ(TestGpi::kPins, e.numPins);
  }
  DataStoreSession_var session = DataStoreSession::_narrow(refs_["session"]);
  ClientCore::StringList keys;
  keys.length(TestSession::kMaxBatch + 1);
  for (CORBA::ULong i = 0; i < keys.length(); ++i) keys[i] = "k";
  EXPECT_THROW(session->remove(keys), DataStoreSession::TransactionSizeExceeded);
  DataStoreSession_var faulty = DataStoreSession::_narrow(refs_["session-faulty"]);
  try {
    faulty->abort();
    ADD_FAILURE() << "abort did not raise";
  } catch (const CORBA::NO_PERMISSION& e) {
    EXPECT_EQ(7u, e.minor());
    EXPECT_EQ(CORBA::COMPLETED_YES, e.completed());
  }
}

TEST_F(CollocatedTest, CallOnADeactivatedServantFailsWithoutReachingIt) {
  DataStoreSession_var session = DataStoreSession::_narrow(refs_["session"]);
  PortableServer::POA_ptr poa = Stack::instance().rootPoa();
  PortableServer::ObjectId_var id = poa->reference_to_id(session);
  poa->deactivate_object(id);
  refs_.erase("session");
  EXPECT_THROW(session->commit(), CORBA::OBJECT_NOT_EXIST);
  EXPECT_TRUE(journal_.lines().empty());
}

}  // namespace
}  // namespace qmr_test
