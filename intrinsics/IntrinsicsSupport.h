// IntrinsicsSupport.h - helpers shared by the Python extension modules of this folder:
// text conversion between Python str and std::string, key-list parsing, module registration,
// and the guard that keeps C++ exceptions from crossing into the interpreter.
// Internal to libqmr_client; every function expects the caller to hold the interpreter lock.
#ifndef QMR_INTRINSICS_INTRINSICSSUPPORT_H
#define QMR_INTRINSICS_INTRINSICSSUPPORT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <omniORB4/CORBA.h>

#include <exception>
#include <string>
#include <vector>

namespace QMR_Client {
namespace intrinsics {

// Stores the UTF-8 octets of the str `obj` in *out. Lone surrogates (from bytes that were not
// UTF-8 when read) encode back to their original bytes, so any text read can be written again.
// `what` names the argument in error messages, e.g. "key 2 of keys". Returns false with a
// Python exception set when `obj` is not a str (TypeError) or holds a NUL character (ValueError).
bool toStdString(PyObject* obj, const char* what, std::string* out);

// A new str decoded from the octets of `text` as UTF-8; bytes that are not UTF-8 become lone
// surrogates so that they round-trip. New reference owned by the caller; null with a Python
// exception set on failure.
PyObject* fromStdString(const std::string& text);

// Checks that `keys` is a non-empty list of str and stores their octets in list order.
// Returns false with a Python exception set: TypeError `emptyMessage` when it is not a list or
// is empty, TypeError/ValueError naming the element otherwise. `fn` prefixes element errors.
bool keyList(PyObject* keys, const char* fn, const char* emptyMessage,
             std::vector<std::string>* out);

// Registers the module `name` with the functions of `table` (null-terminated, owned by the
// caller for the life of the process) in the interpreter's module table, then runs `bootstrap`
// in the main module. A failing bootstrap prints its traceback and is otherwise ignored; a
// failed registration prints the Python error. Returns 0 when both worked, -1 otherwise.
int registerModule(const char* name, PyMethodDef* table, const char* bootstrap);

// Runs a data store call of the manager (returning its bool). The manager turns failed calls
// into false, but a failed reconnection (for example a naming service that cannot be reached)
// can still throw a CORBA system exception: that is logged at error level and also counts as
// a failed call, so that scripts see the failure status and not an exception.
template <typename Call>
bool managerCall(const char* fn, Call&& call);

// Raises RuntimeError "data store client is not initialised" and returns null.
PyObject* noManager();

// Turns an exception escaping an extension function into a Python RuntimeError naming the
// function; returns null. Call only from inside a catch block.
PyObject* raiseFromCurrentException(const char* fn);

// Runs `body` (returning a new reference or null with an exception set) and converts any C++
// exception it throws with raiseFromCurrentException.
template <typename Body>
PyObject* guarded(const char* fn, Body&& body) {
  try {
    return body();
  } catch (...) {
    return raiseFromCurrentException(fn);
  }
}

void logSystemException(const char* fn, const CORBA::SystemException& ex);

template <typename Call>
bool managerCall(const char* fn, Call&& call) {
  try {
    return call();
  } catch (const CORBA::SystemException& ex) {
    logSystemException(fn, ex);
    return false;
  }
}

}  // namespace intrinsics
}  // namespace QMR_Client

#endif  // QMR_INTRINSICS_INTRINSICSSUPPORT_H
