// Python.h - small helpers for code that hands objects to the embedded Python interpreter.
// Callers hold the interpreter lock.
#ifndef QMR_UTIL_PYTHON_H
#define QMR_UTIL_PYTHON_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qmr_util {

struct Python {
  // The interpreter's None, as a new reference that the caller owns (and usually returns).
  static PyObject* none();
};

}  // namespace qmr_util

#endif  // QMR_UTIL_PYTHON_H
