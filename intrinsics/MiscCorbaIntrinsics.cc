// MiscCorbaIntrinsics.cc - the _MiscCorba module: signalEvent(channel, type, value) pushes a
// ClientCore::Event on the named event channel through the module's one channel pusher.
#include "qmr/MiscCorbaIntrinsics.h"

#include "qmr/ClientCore/Event.hh"
#include <string>

#include "IntrinsicsSupport.h"
#include "qmr/util/Log.h"
#include "qmr/util/Python.h"

namespace QMR_Client {

// Built at library load with caching on: each channel's consumer is obtained once and reused
// while it keeps working.
GenericChannelPush MiscCorbaIntrinsics::channelPusher_(true);

namespace {

PyMethodDef miscCorbaMethods[] = {
    {"signalEvent", MiscCorbaIntrinsics::signalEvent_, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char kBootstrap[] =
    "import qmr.MiscCorbaInterface\n"
    "from qmr.embedded.MiscCorbaInterfaceImpl import InterfaceImpl\n"
    "qmr.MiscCorbaInterface.interface = InterfaceImpl()\n";

PyObject* signalEvent(PyObject* args) {
  PyObject* channelObj = nullptr;
  PyObject* typeObj = nullptr;
  PyObject* valueObj = nullptr;
  if (!PyArg_ParseTuple(args, "UUU:signalEvent", &channelObj, &typeObj, &valueObj)) {
    return nullptr;
  }
  std::string channel;
  std::string type;
  std::string value;
  if (!intrinsics::toStdString(channelObj, "signalEvent: the channel", &channel) ||
      !intrinsics::toStdString(typeObj, "signalEvent: the event type", &type) ||
      !intrinsics::toStdString(valueObj, "signalEvent: the event value", &value)) {
    return nullptr;
  }

  ClientCore::Event event;
  event.type = CORBA::string_dup(type.c_str());
  event.value = CORBA::string_dup(value.c_str());
  CORBA::Any any;
  any <<= event;  // the Any keeps its own copy

  // The pusher logs its own failures (no consumer) and absorbs system exceptions; anything
  // else it lets through (a user exception of the consumer, such as Disconnected) is logged
  // here, and the script gets None as for every signal.
  try {
    MiscCorbaIntrinsics::channelPusher_.push(channel, any);
  } catch (const CORBA::Exception& ex) {
    qmr_util::Log::primary()->error("Error pushing event to channel '%s': %s. Event dropped.",
                                    channel.c_str(), ex._name());
  }
  return qmr_util::Python::none();
}

}  // namespace

void MiscCorbaIntrinsics::init() {
  intrinsics::registerModule("_MiscCorba", miscCorbaMethods, kBootstrap);
}

void MiscCorbaIntrinsics::uninit() {}

PyObject* MiscCorbaIntrinsics::signalEvent_(PyObject*, PyObject* args) {
  return intrinsics::guarded("_MiscCorba.signalEvent", [args] { return signalEvent(args); });
}

}  // namespace QMR_Client
