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

// Runs `code` in __main__ and returns what it leaves in the variable `out` (repr), or the text
// of the exception it raised, prefixed with "raised ".
std::string runPython(const std::string& code) {
  PyObject* main = PyImport_AddModule("__main__");  // borrowed
  PyObject* globals = PyModule_GetDict(main);      // borrowed
  PyObject* result = PyRun_String(code.c_str(), Py_file_input, globals, globals);
  std::string text;
  if (result == nullptr) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyObject* str = PyObject_Str(value != nullptr ? value : type);
    text = std::string("raised ") + (str != nullptr ? PyUnicode_AsUTF8(str) : "?");
    Py_XDECREF(str);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(trace);
    return text;
  }
  Py_DECREF(result);
  PyObject* out = PyDict_GetItemString(globals, "out");  // borrowed
  PyObject* repr = out != nullptr ? PyObject_Repr(out) : nullptr;
  text = repr != nullptr ? PyUnicode_AsUTF8(repr) : "<no out>";
  Py_XDECREF(repr);
  return text;
}

class SignalEventFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The bootstrap imports the qmr package from the source tree.
    setenv("PYTHONPATH", (sourceDir() + "/python").c_str(), 1);
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

  EXPECT_EQ("'InterfaceImpl'",
            runPython("import qmr.MiscCorbaInterface\n"
                      "out = type(qmr.MiscCorbaInterface.interface).__name__\n"));
  EXPECT_EQ("[None, None]",
            runPython("import _MiscCorba\n"
                      "out = [_MiscCorba.signalEvent('Refusing', 't', 'v') for i in range(2)]\n"));
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
