// LookupTest.cc - raw_lookup and get_push_consumer against the real omniNames and omniEvents
// of the harness stack: reference texts, stringified names with contexts and kinds, unbound
// and invalid names, objects that are not channels, an event that travels through the
// returned consumer, and a naming service that cannot be reached.
#include <gtest/gtest.h>

#include <COS/CosEventChannelAdmin.hh>
#include <COS/CosEventComm.hh>
#include <mutex>
#include <omniORB4/Naming.hh>
#include <string>
#include <vector>

#include "Harness.h"
#include "qmr/util/Log.h"
#include "qmr/util/Lookup.h"

namespace qmr_util {
namespace {

using qmr_test::Stack;

// The root context, also bound under "LookupTest/Ctx.kind" as a stand-in service: any object
// will do, and a naming context is one that is certainly not an event channel.
class LookupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CORBA::Object_var obj = Stack::instance().orb()->resolve_initial_references("NameService");
    root_ = CosNaming::NamingContextExt::_narrow(obj);
    CosNaming::Name_var dir = root_->to_name("LookupTest");
    try {
      CosNaming::NamingContext_var created = root_->bind_new_context(dir);
    } catch (CosNaming::NamingContext::AlreadyBound&) {
    }
    CosNaming::Name_var path = root_->to_name("LookupTest/Ctx.kind");
    root_->rebind(path, root_);
  }
  static void TearDownTestSuite() { root_ = CosNaming::NamingContextExt::_nil(); }

  static std::string corbaname(const std::string& name) {
    return "corbaname::127.0.0.1:" + std::to_string(Stack::instance().naming().port()) + "#" + name;
  }

  static CosNaming::NamingContextExt_var root_;
};

CosNaming::NamingContextExt_var LookupTest::root_;

TEST_F(LookupTest, ReferenceTextsAndStringifiedNamesResolveToTheBoundObject) {
  CORBA::String_var ior = Stack::instance().orb()->object_to_string(root_);
  const std::string lowerIor = "ior:" + std::string(ior.in() + 4);  // the ORB takes both cases
  for (const std::string& text :
       {std::string(ior.in()), lowerIor, Stack::instance().naming().corbaloc(),
        corbaname("LookupTest/Ctx.kind"), std::string("LookupTest/Ctx.kind")}) {
    CORBA::Object_var obj = raw_lookup(text);
    ASSERT_FALSE(CORBA::is_nil(obj)) << text;
    EXPECT_TRUE(obj->_is_equivalent(root_)) << text;
  }
  CORBA::Object_var dir = raw_lookup("LookupTest");  // a context is bound under a name, too
  EXPECT_FALSE(CORBA::is_nil(CosNaming::NamingContext::_narrow(dir)));

  EXPECT_THROW(CORBA::Object_var obj = raw_lookup("IOR:nothex"), CORBA::SystemException);
  EXPECT_THROW(CORBA::Object_var obj = raw_lookup("corbaloc:nonsense"), CORBA::SystemException);
}

TEST_F(LookupTest, UnboundNamesGiveNilAndInvalidNamesSayWhy) {
  CaptureLog log;
  ScopedLog scope(&log);
  for (const char* name : {"LookupTestNothing", "LookupTest/Ctx", "LookupTest/Ctx.other",
                           "NoSuchContext/Ctx.kind", "LookupTest//Ctx.kind"}) {
    CORBA::Object_var obj;
    EXPECT_NO_THROW(obj = raw_lookup(name)) << name;
    EXPECT_TRUE(CORBA::is_nil(obj)) << name;
  }
  EXPECT_EQ(
      std::vector<std::string>{"ERROR 'LookupTest//Ctx.kind' is not a valid Naming Service name"},
      log.lines());
}

// Collects the string events that an event channel delivers.
class Collector : public POA_CosEventComm::PushConsumer {
 public:
  void push(const CORBA::Any& data) override {
    const char* text;
    std::lock_guard<std::mutex> lock(mutex_);
    if (data >>= text) received_.push_back(text);
  }
  void disconnect_push_consumer() override {}
  std::vector<std::string> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> received_;
};

TEST_F(LookupTest, PushConsumerIsConnectedForAChannelAndNilForAnythingElse) {
  EXPECT_TRUE(CORBA::is_nil(
      CosEventChannelAdmin::ProxyPushConsumer_var(get_push_consumer("LookupTestNoChannel"))));
  EXPECT_TRUE(CORBA::is_nil(
      CosEventChannelAdmin::ProxyPushConsumer_var(get_push_consumer("LookupTest/Ctx.kind"))));

  // A real consumer on the channel, reached by omniEvents over IIOP.
  Stack::instance().events().createChannel("LookupTestChannel");
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

// Kept last: it stops and restarts the stack's naming service. The data store client tells an
// unreachable naming service from an unbound name by this exception.
TEST_F(LookupTest, UnreachableNamingServiceLetsTheSystemExceptionThrough) {
  Stack::instance().naming().stop();
  // The first call may find the old connection closed (COMM_FAILURE), later ones are refused
  // (TRANSIENT); none may turn into a nil "not bound" answer.
  std::vector<std::string> raised;
  for (const std::string& name :
       {std::string("LookupTest/Ctx.kind"), std::string("LookupTest"), corbaname("LookupTest")}) {
    try {
      CORBA::Object_var obj = raw_lookup(name);
      raised.push_back("nothing");
    } catch (const CORBA::SystemException& e) {
      raised.push_back(e._name());
    }
  }
  Stack::instance().naming().restart();
  for (const std::string& name : {raised[0], raised[1]}) {
    EXPECT_TRUE(name == "TRANSIENT" || name == "COMM_FAILURE") << name;
  }
  EXPECT_NE("nothing", raised[2]) << "corbaname answered without a naming service";
  CORBA::Object_var again = raw_lookup("LookupTest/Ctx.kind");
  EXPECT_FALSE(CORBA::is_nil(again));
}

}  // namespace
}  // namespace qmr_util
