// LookupTest.cc - raw_lookup and get_push_consumer against the real omniNames and omniEvents
// of the harness stack: reference texts, stringified names with contexts and kinds, unbound
// and invalid names, objects that are not channels, a consumer that takes events, and a
// naming service that cannot be reached.
#include <gtest/gtest.h>

#include <COS/CosEventChannelAdmin.hh>
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
    return "corbaname:omniunix:" + Stack::instance().naming().socketPath() + ":#" + name;
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

// Delivery to the channel's listeners is followed end to end by ChannelPushTest, through
// GenericChannelPush; here the proxy must at least take an event.
TEST_F(LookupTest, PushConsumerTakesEventsForAChannelAndIsNilForAnythingElse) {
  for (const char* name : {"LookupTestNoChannel", "LookupTest/Ctx.kind"}) {
    CosEventChannelAdmin::ProxyPushConsumer_var consumer = get_push_consumer(name);
    EXPECT_TRUE(CORBA::is_nil(consumer)) << name;
  }
  Stack::instance().events().createChannel("LookupTestChannel");
  CosEventChannelAdmin::ProxyPushConsumer_var consumer = get_push_consumer("LookupTestChannel");
  ASSERT_FALSE(CORBA::is_nil(consumer));
  CORBA::Any event;
  event <<= "hello through the channel";
  EXPECT_NO_THROW(consumer->push(event));
  consumer->disconnect_push_consumer();
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
