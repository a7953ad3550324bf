// SignalEventFaultTest.cc - _MiscCorba.signalEvent when the channel's consumer refuses the event
// with a user exception (CosEventComm::Disconnected): an in-process channel forces the fault,
// the module runs in an interpreter embedded in this test.
#include <gtest/gtest.h>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Harness.h"
#include "RefusingChannel.h"
#include "qmr/MiscCorbaIntrinsics.h"
#include "qmr/util/Log.h"

namespace qmr_test {
namespace {

using Lines = std::vector<std::string>;

class SignalEventFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("PYTHONPATH", (sourceDir() + "/python").c_str(), 1);  // the bootstrap imports qmr
    Py_InitializeEx(0);
    QMR_Client::MiscCorbaIntrinsics::init();
  }
  static void TearDownTestSuite() { Py_FinalizeEx(); }

  qmr_util::CaptureLog log_;
  qmr_util::ScopedLog scoped_{&log_};
};

TEST_F(SignalEventFaultTest, RefusedEventIsLoggedWithTheChannelAndTheScriptGetsNone) {
  RefusingConsumer consumer;
  RefusingAdmin admin(&consumer);
  RefusingChannel channel(&admin);
  CosEventChannelAdmin::EventChannel_var ref = channel._this();
  bindName("Refusing", ref);

  // Two signals; the script leaves the repr of their results in `out`.
  ASSERT_EQ(0,
            PyRun_SimpleString(
                "import _MiscCorba\n"
                "out = repr([_MiscCorba.signalEvent('Refusing', 't', 'v') for i in range(2)])\n"));
  PyObject* out = PyDict_GetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "out");
  ASSERT_NE(nullptr, out);
  EXPECT_STREQ("[None, None]", PyUnicode_AsUTF8(out));
  EXPECT_EQ(2, consumer.pushes);
  const std::string refused =
      "ERROR Error pushing event to channel 'Refusing': Disconnected. Event dropped.";
  // The consumer stays remembered: the second signal does not connect again.
  EXPECT_EQ((Lines{"INFO Channel 'Refusing' not in push map, adding it.", refused, refused}),
            log_.lines());
  EXPECT_TRUE(QMR_Client::MiscCorbaIntrinsics::channelPusher_.isCached("Refusing"));

  unbindName("Refusing");
  for (PortableServer::Servant s :
       std::vector<PortableServer::Servant>{&channel, &admin, &consumer}) {
    PortableServer::ObjectId_var id = Stack::instance().rootPoa()->servant_to_id(s);
    Stack::instance().rootPoa()->deactivate_object(id);
  }
}

}  // namespace
}  // namespace qmr_test
