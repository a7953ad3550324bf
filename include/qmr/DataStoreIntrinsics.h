// DataStoreIntrinsics.h - the Python module `_datastore` (get, set, remove, commit, abort,
// clearCache, enableCaching) over the process's DataStoreManager.
//
// The host calls init() once, after initialising the interpreter and holding its lock: it
// registers the module and runs the bootstrap that sets qmr.DataStoreInterface.interface.
// uninit() does nothing. The extension functions take and return Python objects under the
// interpreter lock; each returns a new reference, or null with a Python exception set.
#ifndef QMR_DATASTOREINTRINSICS_H
#define QMR_DATASTOREINTRINSICS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace QMR_Client {

class DataStoreIntrinsics {
 public:
  static void init();
  static void uninit();

  static PyObject* get_(PyObject* self, PyObject* args);
  static PyObject* set_(PyObject* self, PyObject* args);
  static PyObject* remove_(PyObject* self, PyObject* args);
  static PyObject* commit_(PyObject* self, PyObject* args);
  static PyObject* abort_(PyObject* self, PyObject* args);
  static PyObject* clearCache_(PyObject* self, PyObject* args);
  static PyObject* enableCaching_(PyObject* self, PyObject* args);

  DataStoreIntrinsics() = delete;
};

}  // namespace QMR_Client

#endif  // QMR_DATASTOREINTRINSICS_H
