// Python.h - small helpers for code that hands objects to the embedded Python interpreter.
// Callers hold the interpreter lock.
#ifndef QMR_UTIL_PYTHON_H
#define QMR_UTIL_PYTHON_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qmr_util {

// Defined here rather than in libqmr_util.so, so that the utility library itself does not
// need libpython: only programs that embed the interpreter load it.
struct Python {
  // The interpreter's None, as a new reference that the caller owns (and usually returns).
  static PyObject* none() { Py_RETURN_NONE; }
};

}  // namespace qmr_util

#endif  // QMR_UTIL_PYTHON_H
