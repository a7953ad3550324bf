// SessionIntrinsics.h - the Python module `_qmrsession`: what a script needs to know whether its
// data store transaction outlived its session (DataStoreManager::sessionGeneration and
// transactionGeneration). The script layer's qmr.transaction() is built on it; _datastore itself
// is unchanged.
//
// The host calls init() once, after initialising the interpreter and holding its lock, beside
// DataStoreIntrinsics::init(). The functions take no arguments, read process-wide counters of
// the data store client (they work with or without a connected manager) and return a new int.
#ifndef QMR_SESSIONINTRINSICS_H
#define QMR_SESSIONINTRINSICS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace QMR_Client {

class SessionIntrinsics {
 public:
  static void init();

  // generation() -> DataStoreManager::sessionGeneration()
  static PyObject* generation_(PyObject* self, PyObject* unused);
  // transaction_generation() -> DataStoreManager::transactionGeneration()
  static PyObject* transactionGeneration_(PyObject* self, PyObject* unused);

  SessionIntrinsics() = delete;
};

}  // namespace QMR_Client

#endif  // QMR_SESSIONINTRINSICS_H
