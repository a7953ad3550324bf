// MiscCorbaIntrinsics.h - the Python module `_MiscCorba`: signalEvent(channel, type, value)
// pushes a ClientCore::Event on a named event channel.
//
// The host calls init() once, after initialising the interpreter and holding its lock: it
// registers the module and runs the bootstrap that sets qmr.MiscCorbaInterface.interface.
// uninit() does nothing. channelPusher_ lives from library load to unload and is used only under
// the interpreter lock.
#ifndef QMR_MISCCORBAINTRINSICS_H
#define QMR_MISCCORBAINTRINSICS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qmr/GenericChannelPush.h"

namespace QMR_Client {

class MiscCorbaIntrinsics {
 public:
  static void init();
  static void uninit();

  static PyObject* signalEvent_(PyObject* self, PyObject* args);

  // The module's pusher, constructed with caching on.
  static GenericChannelPush channelPusher_;

  MiscCorbaIntrinsics() = delete;
};

}  // namespace QMR_Client

#endif  // QMR_MISCCORBAINTRINSICS_H
