// LookupTest.cc - raw_lookup and get_push_consumer against the real omniNames and omniEvents
// of the harness stack: reference texts, stringified names with contexts and kinds, unbound
// names, objects of the wrong type, and an event that travels through the returned consumer.
#include <gtest/gtest.h>

#include <COS/CosEventChannelAdmin.hh>
#include <COS/CosEventComm.hh>
#include <atomic>
#include <mutex>
#include <omniORB4/Naming.hh>
#include <string>

#include "Harness.h"
#include "qmr/util/Log.h"
#include "qmr/util/Lookup.h"

namespace qmr_util {
namespace {

using qmr_test::Stack;

CosNaming::NamingContextExt_ptr rootContext() {
  CORBA::Object_var obj = Stack::instance().orb()->resolve_initial_references("NameService");
  return CosNaming::NamingContextExt::_narrow(obj);
}

// The root context bound under "LookupTest/Ctx.kind" as a stand-in service: any object will do,
// and a naming context is one that is certainly not an event channel.
class LookupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CosNaming::NamingContextExt_var root = rootContext();
    CosNaming::Name_var dir = root->to_name("LookupTest");
    try {
      CosNaming::NamingContext_var created = root->bind_new_context(dir);
    } catch (CosNaming::NamingContext::AlreadyBound&) {
    }
    CosNaming::Name_var path = root->to_name("LookupTest/Ctx.kind");
    root->rebind(path, root);
  }
};

TEST_F(LookupTest, ReferenceTextsAreResolvedByTheOrb) {
  CosNaming::NamingContextExt_var root = rootContext();
  CORBA::String_var ior = Stack::instance().orb()->object_to_string(root);
  const std::string corbaloc = Stack::instance().naming().corbaloc();
  const std::string corbaname =
      "corbaname::127.0.0.1:" + std::to_string(Stack::instance().naming().port()) +
      "#LookupTest/Ctx.kind";
  std::string lowerIor = "ior:" + std::string(ior.in() + 4);  // the ORB takes both cases
  for (const std::string& text : {std::string(ior.in()), corbaloc, corbaname, lowerIor}) {
    CORBA::Object_var obj = raw_lookup(text);
    ASSERT_FALSE(CORBA::is_nil(obj)) << text;
    EXPECT_TRUE(obj->_is_equivalent(root)) << text;
  }
}

TEST_F(LookupTest, StringifiedNamesResolveThroughContextsAndKinds) {
  CosNaming::NamingContextExt_var root = rootContext();
  CORBA::Object_var obj = raw_lookup("LookupTest/Ctx.kind");
  ASSERT_FALSE(CORBA::is_nil(obj));
  EXPECT_TRUE(obj->_is_equivalent(root));
  // The context itself is an object bound under a name, too.
  CORBA::Object_var dir = raw_lookup("LookupTest");
  EXPECT_FALSE(CORBA::is_nil(CosNaming::NamingContext::_narrow(dir)));
}

TEST_F(LookupTest, NamesWithNothingBoundGiveNil) {
  for (const char* name :
       {"LookupTestNothing", "LookupTest/Ctx", "LookupTest/Ctx.other", "NoSuchContext/Ctx.kind"}) {
    CORBA::Object_var obj;
    EXPECT_NO_THROW(obj = raw_lookup(name)) << name;
    EXPECT_TRUE(CORBA::is_nil(obj)) << name;
  }
}

TEST_F(LookupTest, InvalidNamingNameGivesNilAndSaysWhy) {
  CaptureLog log;
  ScopedLog scope(&log);
  CORBA::Object_var obj = raw_lookup("LookupTest//Ctx.kind");
  EXPECT_TRUE(CORBA::is_nil(obj));
  EXPECT_EQ(
      std::vector<std::string>{"ERROR 'LookupTest//Ctx.kind' is not a valid Naming Service name"},
      log.lines());
}

TEST_F(LookupTest, MalformedReferenceTextRaisesTheOrbsException) {
  EXPECT_THROW(CORBA::Object_var obj = raw_lookup("IOR:nothex"), CORBA::SystemException);
  EXPECT_THROW(CORBA::Object_var obj = raw_lookup("corbaloc:nonsense"), CORBA::SystemException);
}

// Collects the string events that an event channel delivers.
class Collector : public POA_CosEventComm::PushConsumer {
 public:
  void push(const CORBA::Any& data) override {
    const char* text;
    if (data >>= text) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(text);
    }
  }
  void disconnect_push_consumer() override { disconnected_ = true; }
  std::vector<std::string> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> received_;
  std::atomic<bool> disconnected_{false};
};

TEST_F(LookupTest, EventPushedThroughTheConsumerReachesAConnectedConsumer) {
  Stack::instance().events().createChannel("LookupTestChannel");
  // A real consumer on the channel, reached by omniEvents over IIOP.
  CORBA::Object_var obj = raw_lookup("LookupTestChannel");
  CosEventChannelAdmin::EventChannel_var channel = CosEventChannelAdmin::EventChannel::_narrow(obj);
  ASSERT_FALSE(CORBA::is_nil(channel));
  Collector* collector = new Collector;
  PortableServer::ObjectId_var id = Stack::instance().rootPoa()->activate_object(collector);
  CosEventComm::PushConsumer_var collectorRef = collector->_this();
  CosEventChannelAdmin::ConsumerAdmin_var admin = channel->for_consumers();
  CosEventChannelAdmin::ProxyPushSupplier_var supplier = admin->obtain_push_supplier();
  supplier->connect_push_consumer(collectorRef);

  CosEventChannelAdmin::ProxyPushConsumer_var consumer = get_push_consumer("LookupTestChannel");
  ASSERT_FALSE(CORBA::is_nil(consumer));
  CORBA::Any event;
  event <<= "hello through the channel";
  consumer->push(event);  // raises Disconnected unless get_push_consumer connected it
  EXPECT_TRUE(qmr_test::eventually([&] { return !collector->received().empty(); }));
  EXPECT_EQ(std::vector<std::string>{"hello through the channel"}, collector->received());

  supplier->disconnect_push_supplier();
  consumer->disconnect_push_consumer();
  Stack::instance().rootPoa()->deactivate_object(id);
  collector->_remove_ref();
}

TEST_F(LookupTest, PushConsumerIsNilForUnboundNamesAndForObjectsThatAreNotChannels) {
  CosEventChannelAdmin::ProxyPushConsumer_var none = get_push_consumer("LookupTestNoChannel");
  EXPECT_TRUE(CORBA::is_nil(none));
  CosEventChannelAdmin::ProxyPushConsumer_var notChannel = get_push_consumer("LookupTest/Ctx.kind");
  EXPECT_TRUE(CORBA::is_nil(notChannel));
}

// Kept last: it stops and restarts the stack's naming service. The data store client tells an
// unreachable naming service from an unbound name by this exception.
TEST_F(LookupTest, UnreachableNamingServiceLetsTheSystemExceptionThrough) {
  Stack::instance().naming().stop();
  // The first call may find the old connection closed (COMM_FAILURE), later ones are refused
  // (TRANSIENT); neither may turn into a nil "not bound" answer.
  int raised = 0;
  for (int i = 0; i < 2; ++i) {
    try {
      CORBA::Object_var obj = raw_lookup("LookupTest/Ctx.kind");
      ADD_FAILURE() << "lookup answered without a naming service";
    } catch (const CORBA::TRANSIENT&) {
      ++raised;
    } catch (const CORBA::COMM_FAILURE&) {
      ++raised;
    } catch (const CORBA::SystemException& e) {
      ADD_FAILURE() << "unexpected " << e._name();
    }
  }
  bool viaCorbaname = false;
  try {
    CORBA::Object_var obj = raw_lookup(
        "corbaname::127.0.0.1:" + std::to_string(Stack::instance().naming().port()) + "#x");
  } catch (const CORBA::SystemException&) {
    viaCorbaname = true;
  }
  Stack::instance().naming().restart();
  EXPECT_EQ(2, raised);
  EXPECT_TRUE(viaCorbaname);
  CORBA::Object_var again = raw_lookup("LookupTest/Ctx.kind");
  EXPECT_FALSE(CORBA::is_nil(again));
}

}  // namespace
}  // namespace qmr_util
