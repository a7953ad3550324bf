// Python.cc - helpers for extension functions.
#include "qmr/util/Python.h"

namespace qmr_util {

PyObject* Python::none() { Py_RETURN_NONE; }

}  // namespace qmr_util
