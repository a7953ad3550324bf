// ChannelPushTest.cc - GenericChannelPush against the real omniEvents (events checked with
// qmr-listen): one consumer remembered per channel, a failed one forgotten and a new one obtained
// once the event service is back. An in-process channel forces the consumer's faults, also under
// _MiscCorba.signalEvent, which runs in an interpreter embedded in this test.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

#include "qmr/ClientCore/Event.hh"
#include <cstdlib>
#include <memory>

#include "Harness.h"
#include "RefusingChannel.h"
#include "qmr/GenericChannelPush.h"
#include "qmr/MiscCorbaIntrinsics.h"
#include "qmr/util/Log.h"

namespace qmr_test {
namespace {

using QMR_Client::GenericChannelPush;
using Lines = std::vector<std::string>;

// Starts qmr-listen on a channel. Its log holds "qmr-listen: listening on CHANNEL", then a line
// "CHANNEL TYPE VALUE" per event. Stopped when the Process goes.
std::unique_ptr<Process> listen(const std::string& channel) {
  std::vector<std::string> argv{buildDir() + "/bin/qmr-listen"};
  for (const std::string& arg : Stack::instance().orbArgs()) argv.push_back(arg);
  argv.push_back(channel);
  auto listener = std::make_unique<Process>();
  listener->start(argv, Stack::instance().dir().file("listen-" + channel + ".log"));
  const std::string ready = "qmr-listen: listening on " + channel + "\n";
  EXPECT_TRUE(eventually([&] { return listener->log() == ready; }, 10000)) << listener->log();
  return listener;
}

// Waits until the log of `listener` holds as much as `expected`; returns the log.
std::string logOf(Process& listener, const std::string& expected) {
  eventually([&] { return listener.log().size() >= expected.size(); });
  return listener.log();
}

CORBA::Any event(const char* type, const char* value) {
  ClientCore::Event event;
  event.type = type;
  event.value = value;
  CORBA::Any any;
  any <<= event;
  return any;
}

std::string added(const std::string& channel) {
  return "INFO Channel '" + channel + "' not in push map, adding it.";
}

// A consumer that accepts events, fails them with a system exception or refuses them with
// CosEventComm::Disconnected, behind an in-process channel bound under `name`.
struct InProcessChannel {
  enum Mode { kAccept, kFail, kRefuse };
  struct Consumer : RefusingConsumer {
    void push(const CORBA::Any& any) override {
      if (mode == kRefuse) RefusingConsumer::push(any);
      ++pushes;
      if (mode == kFail) throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    }
    Mode mode = kAccept;
  };

  explicit InProcessChannel(const std::string& name) : name(name) {
    CosEventChannelAdmin::EventChannel_var ref = channel._this();
    bindName(name, ref);
  }
  ~InProcessChannel() {
    unbindName(name);
    for (PortableServer::Servant s :
         std::vector<PortableServer::Servant>{&channel, &admin, &consumer}) {
      PortableServer::ObjectId_var id = Stack::instance().rootPoa()->servant_to_id(s);
      Stack::instance().rootPoa()->deactivate_object(id);
    }
  }
  std::string name;
  Consumer consumer;
  RefusingAdmin admin{&consumer};
  RefusingChannel channel{&admin};
};

class ChannelPushTest : public ::testing::Test {
 protected:
  CORBA::Any value_ = event("t", "v");
  qmr_util::CaptureLog log_;
  qmr_util::ScopedLog scoped_{&log_};
};

TEST_F(ChannelPushTest, CachedConsumerDeliversAndIsObtainedOncePerExactName) {
  Stack::instance().events().createChannel("PushA");
  Stack::instance().events().createChannel("pusha");
  std::unique_ptr<Process> listener = listen("PushA");
  GenericChannelPush pusher(true);
  for (const char* value : {"1", "2", "3"}) {
    CORBA::Any any = event("n", value);
    EXPECT_TRUE(pusher.push("PushA", any));
  }
  const std::string sent = "qmr-listen: listening on PushA\nPushA n 1\nPushA n 2\nPushA n 3\n";
  EXPECT_EQ(sent, logOf(*listener, sent));
  EXPECT_EQ(Lines{added("PushA")}, log_.lines());

  // A name differing in case is another channel; an unknown one is reported and not kept.
  EXPECT_TRUE(pusher.push("pusha", value_));
  log_.clear();
  EXPECT_FALSE(pusher.push("NoSuchChannel", value_));
  EXPECT_EQ(Lines{"ERROR Error getting push consumer for NoSuchChannel. Aborting push."},
            log_.lines());
  EXPECT_EQ(2u, pusher.cachedChannels());
}

// With caching on, a consumer that failed with a system exception is forgotten, whether the
// failing call or an earlier one recorded it. With caching off every push obtains a consumer,
// the map keeps the first one recorded, and a failure forgets only what the failing call recorded.
TEST_F(ChannelPushTest, SystemExceptionForgetsTheConsumerThatFailed) {
  InProcessChannel channel("Failing");
  GenericChannelPush cached(true);
  GenericChannelPush uncached(false);
  channel.consumer.mode = InProcessChannel::kFail;
  for (GenericChannelPush* pusher : {&cached, &uncached}) {  // recorded by the failing call
    EXPECT_FALSE(pusher->push("Failing", value_));
    EXPECT_FALSE(pusher->isCached("Failing"));
  }
  channel.consumer.mode = InProcessChannel::kAccept;
  EXPECT_TRUE(cached.push("Failing", value_));
  EXPECT_TRUE(uncached.push("Failing", value_));
  channel.consumer.mode = InProcessChannel::kFail;
  EXPECT_FALSE(cached.push("Failing", value_));  // the remembered consumer failed
  EXPECT_FALSE(cached.isCached("Failing"));
  EXPECT_FALSE(uncached.push("Failing", value_));  // a fresh consumer failed: the entry of an
  EXPECT_TRUE(uncached.isCached("Failing"));       // earlier call stays
  EXPECT_EQ(6, channel.consumer.pushes);
  EXPECT_EQ(Lines(5, added("Failing")), log_.lines());  // nothing logged for the failures
}

TEST_F(ChannelPushTest, UserExceptionReachesTheCallerAndTheConsumerStays) {
  InProcessChannel channel("Refusing");
  channel.consumer.mode = InProcessChannel::kRefuse;
  GenericChannelPush pusher(true);
  EXPECT_THROW(pusher.push("Refusing", value_), CosEventComm::Disconnected);
  EXPECT_TRUE(pusher.isCached("Refusing"));
  EXPECT_THROW(pusher.push("Refusing", value_), CosEventComm::Disconnected);
  EXPECT_EQ(2, channel.consumer.pushes);
  EXPECT_EQ(Lines{added("Refusing")}, log_.lines());  // the second push used the cached one
}

// The module's pusher lets the user exception through to the module, which logs it with the
// channel; the script gets None, and the consumer stays remembered.
TEST_F(ChannelPushTest, SignalEventLogsARefusedEventAndTheScriptGetsNone) {
  InProcessChannel channel("Refusing");
  channel.consumer.mode = InProcessChannel::kRefuse;
  setenv("PYTHONPATH", (sourceDir() + "/python").c_str(), 1);  // the bootstrap imports qmr
  Py_InitializeEx(0);
  QMR_Client::MiscCorbaIntrinsics::init();
  log_.clear();
  ASSERT_EQ(0,
            PyRun_SimpleString(
                "import _MiscCorba\n"
                "out = repr([_MiscCorba.signalEvent('Refusing', 't', 'v') for i in range(2)])\n"));
  PyObject* out = PyDict_GetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "out");
  ASSERT_NE(nullptr, out);
  EXPECT_STREQ("[None, None]", PyUnicode_AsUTF8(out));
  EXPECT_EQ(2, channel.consumer.pushes);
  const std::string refused =
      "ERROR Error pushing event to channel 'Refusing': Disconnected. Event dropped.";
  EXPECT_EQ((Lines{added("Refusing"), refused, refused}), log_.lines());
  EXPECT_TRUE(QMR_Client::MiscCorbaIntrinsics::channelPusher_.isCached("Refusing"));
  Py_FinalizeEx();
}

TEST_F(ChannelPushTest, ConsumerLostWithTheEventServiceIsReplacedAfterItsRestart) {
  EventService& events = Stack::instance().events();
  events.createChannel("PushC");
  GenericChannelPush pusher(true);
  ASSERT_TRUE(pusher.push("PushC", value_));

  events.kill9();
  log_.clear();
  EXPECT_FALSE(pusher.push("PushC", value_));
  EXPECT_FALSE(pusher.isCached("PushC"));
  EXPECT_TRUE(log_.lines().empty());

  events.restart();
  std::unique_ptr<Process> listener = listen("PushC");
  CORBA::Any after = event("after", "restart");
  EXPECT_TRUE(pusher.push("PushC", after));
  EXPECT_EQ(Lines{added("PushC")}, log_.lines());
  const std::string sent = "qmr-listen: listening on PushC\nPushC after restart\n";
  EXPECT_EQ(sent, logOf(*listener, sent));
}

}  // namespace
}  // namespace qmr_test
