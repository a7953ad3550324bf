// SessionIntrinsics.cc - the _qmrsession module: the data store client's session counters.
#include "qmr/SessionIntrinsics.h"

#include "IntrinsicsSupport.h"
#include "qmr/DataStoreManager.h"

namespace QMR_Client {
namespace {

// The interpreter keeps pointers into this table for the life of the process.
PyMethodDef sessionMethods[] = {
    {"generation", SessionIntrinsics::generation_, METH_NOARGS,
     "generation() -> int: data store sessions this process has started; it grows by one each "
     "time the session is replaced after a failure."},
    {"transaction_generation", SessionIntrinsics::transactionGeneration_, METH_NOARGS,
     "transaction_generation() -> int: the generation at the first write since the last "
     "successful commit or abort, 0 when there was none."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void SessionIntrinsics::init() { intrinsics::registerModule("_qmrsession", sessionMethods, ""); }

PyObject* SessionIntrinsics::generation_(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(DataStoreManager::sessionGeneration());
}

PyObject* SessionIntrinsics::transactionGeneration_(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(DataStoreManager::transactionGeneration());
}

}  // namespace QMR_Client
