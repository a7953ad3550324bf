// ChannelPushTest.cc - GenericChannelPush against the real omniEvents: events arrive, one
// consumer is remembered per channel, a consumer that failed is forgotten and a new one obtained
// once the event service is back. A user exception of a consumer is forced with an in-process
// channel whose consumer refuses every event.
#include <gtest/gtest.h>

#include <COS/CosEventChannelAdmin.hh>
#include <COS/CosEventComm.hh>
#include <mutex>

#include "Harness.h"
#include "RefusingChannel.h"
#include "qmr/GenericChannelPush.h"
#include "qmr/util/Log.h"
#include "qmr/util/Lookup.h"

namespace qmr_test {
namespace {

using QMR_Client::GenericChannelPush;
using Lines = std::vector<std::string>;

// Collects the CORBA::Long values of the events delivered to it.
class Collector : public POA_CosEventComm::PushConsumer {
 public:
  void push(const CORBA::Any& data) override {
    CORBA::Long value = 0;
    if (data >>= value) {
      std::lock_guard<std::mutex> lock(mutex_);
      values_.push_back(value);
    }
  }
  void disconnect_push_consumer() override {}
  std::vector<CORBA::Long> values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }

 private:
  std::mutex mutex_;
  std::vector<CORBA::Long> values_;
};

// A Collector connected to the channel bound under a name, disconnected and deactivated when
// the listener goes away (the event service may still hold a reference to it).
class Listener {
 public:
  explicit Listener(const std::string& name) : collector_(new Collector) {
    PortableServer::POA_ptr poa = Stack::instance().rootPoa();
    PortableServer::ObjectId_var id = poa->activate_object(collector_);
    CORBA::Object_var me = poa->id_to_reference(id);
    CosEventComm::PushConsumer_var consumer = CosEventComm::PushConsumer::_narrow(me);
    CORBA::Object_var obj = qmr_util::raw_lookup(name);
    CosEventChannelAdmin::EventChannel_var channel =
        CosEventChannelAdmin::EventChannel::_narrow(obj);
    CosEventChannelAdmin::ConsumerAdmin_var admin = channel->for_consumers();
    supplier_ = admin->obtain_push_supplier();
    supplier_->connect_push_consumer(consumer);
  }
  ~Listener() {
    try {
      supplier_->disconnect_push_supplier();
    } catch (const CORBA::SystemException&) {
    }
    PortableServer::POA_ptr poa = Stack::instance().rootPoa();
    PortableServer::ObjectId_var id = poa->servant_to_id(collector_);
    poa->deactivate_object(id);
    collector_->_remove_ref();
  }
  std::vector<CORBA::Long> values() { return collector_->values(); }

 private:
  Collector* collector_;
  CosEventChannelAdmin::ProxyPushSupplier_var supplier_;
};

CORBA::Any number(CORBA::Long n) {
  CORBA::Any any;
  any <<= n;
  return any;
}

std::string added(const std::string& channel) {
  return "INFO Channel '" + channel + "' not in push map, adding it.";
}

class ChannelPushTest : public ::testing::Test {
 protected:
  qmr_util::CaptureLog log_;
  qmr_util::ScopedLog scoped_{&log_};
};

TEST_F(ChannelPushTest, CachedConsumerDeliversAndIsObtainedOnce) {
  Stack::instance().events().createChannel("PushA");
  Stack::instance().events().createChannel("pusha");
  Listener collector("PushA");

  GenericChannelPush pusher(true);
  for (CORBA::Long i = 1; i <= 3; ++i) {
    CORBA::Any value = number(i);
    EXPECT_TRUE(pusher.push("PushA", value));
  }
  EXPECT_TRUE(eventually([&] { return collector.values().size() == 3; }));
  EXPECT_EQ((std::vector<CORBA::Long>{1, 2, 3}), collector.values());
  EXPECT_EQ(Lines{added("PushA")}, log_.lines());

  // Names are matched exactly: a name differing in case is another channel.
  CORBA::Any value = number(4);
  EXPECT_TRUE(pusher.push("pusha", value));
  EXPECT_EQ(2u, pusher.cachedChannels());
}

TEST_F(ChannelPushTest, UnknownChannelIsReportedAndNotRemembered) {
  GenericChannelPush pusher(true);
  CORBA::Any value = number(1);
  EXPECT_FALSE(pusher.push("NoSuchChannel", value));
  EXPECT_EQ(Lines{"ERROR Error getting push consumer for NoSuchChannel. Aborting push."},
            log_.lines());
  EXPECT_EQ(0u, pusher.cachedChannels());
}

TEST_F(ChannelPushTest, WithoutCachingEveryPushObtainsAConsumerAndTheFirstIsKept) {
  Stack::instance().events().createChannel("PushB");
  GenericChannelPush pusher(false);
  CORBA::Any value = number(1);
  EXPECT_TRUE(pusher.push("PushB", value));
  EXPECT_TRUE(pusher.push("PushB", value));
  EXPECT_EQ((Lines{added("PushB"), added("PushB")}), log_.lines());
  EXPECT_EQ(1u, pusher.cachedChannels());
}

TEST_F(ChannelPushTest, FailedConsumerIsForgottenAndReplacedAfterRestart) {
  EventService& events = Stack::instance().events();
  events.createChannel("PushC");
  GenericChannelPush pusher(true);
  CORBA::Any value = number(7);
  ASSERT_TRUE(pusher.push("PushC", value));

  events.kill9();
  log_.clear();
  EXPECT_FALSE(pusher.push("PushC", value));  // cached consumer unreachable: forgotten
  EXPECT_FALSE(pusher.isCached("PushC"));
  EXPECT_TRUE(log_.lines().empty());

  events.restart();
  Listener collector("PushC");
  EXPECT_TRUE(pusher.push("PushC", value));
  EXPECT_EQ(Lines{added("PushC")}, log_.lines());
  EXPECT_TRUE(eventually([&] { return collector.values() == std::vector<CORBA::Long>{7}; }));
}

TEST_F(ChannelPushTest, UserExceptionReachesTheCallerAndTheConsumerStays) {
  RefusingConsumer consumer;
  RefusingAdmin admin(&consumer);
  RefusingChannel channel(&admin);
  CosEventChannelAdmin::EventChannel_var ref = channel._this();
  bindName("Refusing", ref);

  GenericChannelPush pusher(true);
  CORBA::Any value = number(1);
  EXPECT_THROW(pusher.push("Refusing", value), CosEventComm::Disconnected);
  EXPECT_TRUE(pusher.isCached("Refusing"));
  EXPECT_THROW(pusher.push("Refusing", value), CosEventComm::Disconnected);
  EXPECT_EQ(2, consumer.pushes);
  EXPECT_EQ(Lines{added("Refusing")}, log_.lines());  // the second push used the cached one
  unbindName("Refusing");
  for (PortableServer::Servant s : std::vector<PortableServer::Servant>{&channel, &admin, &consumer}) {
    PortableServer::ObjectId_var id = Stack::instance().rootPoa()->servant_to_id(s);
    Stack::instance().rootPoa()->deactivate_object(id);
  }
}

}  // namespace
}  // namespace qmr_test
