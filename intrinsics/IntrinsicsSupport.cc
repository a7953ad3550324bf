// IntrinsicsSupport.cc - text conversion, key lists, module registration and the exception
// guard shared by the _datastore and _MiscCorba modules.
#include "IntrinsicsSupport.h"

#include <cstdio>
#include <cstring>

#include "qmr/util/BaseException.h"
#include "qmr/util/Log.h"

namespace QMR_Client {
namespace intrinsics {

namespace {

// The common case without any allocation: a str of ASCII characters only holds its own UTF-8
// octets. False (and no Python exception) for anything else, including a NUL character, which
// the full conversion then reports.
inline bool asciiText(PyObject* obj, std::string* out) {
  if (!PyUnicode_Check(obj) || !PyUnicode_IS_COMPACT_ASCII(obj)) return false;
  const char* data = static_cast<const char*>(PyUnicode_DATA(obj));
  const size_t size = static_cast<size_t>(PyUnicode_GET_LENGTH(obj));
  if (std::memchr(data, '\0', size) != nullptr) return false;
  out->assign(data, size);
  return true;
}

}  // namespace

bool toStdString(PyObject* obj, const char* what, std::string* out) {
  if (asciiText(obj, out)) return true;
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(obj)->tp_name);
    return false;
  }
  PyObject* bytes = PyUnicode_AsEncodedString(obj, "utf-8", "surrogateescape");
  if (bytes == nullptr) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
    Py_DECREF(bytes);
    return false;
  }
  // The services take NUL-terminated strings: an embedded NUL would silently cut the text.
  if (std::memchr(data, '\0', static_cast<size_t>(size)) != nullptr) {
    Py_DECREF(bytes);
    PyErr_Format(PyExc_ValueError, "%s contains a NUL character, which cannot be stored", what);
    return false;
  }
  out->assign(data, static_cast<size_t>(size));
  Py_DECREF(bytes);
  return true;
}

PyObject* fromStdString(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

bool keyList(PyObject* keys, const char* fn, const char* emptyMessage,
             std::vector<std::string>* out) {
  if (!PyList_Check(keys) || PyList_GET_SIZE(keys) <= 0) {
    PyErr_SetString(PyExc_TypeError, emptyMessage);
    return false;
  }
  const Py_ssize_t n = PyList_GET_SIZE(keys);
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::string key;
    // Borrowed item: nothing in toStdString can run Python code that changes the list.
    PyObject* item = PyList_GET_ITEM(keys, i);
    if (!asciiText(item, &key)) {
      // Other text, or an error to report: only now is the element's name worth writing.
      char what[96];
      std::snprintf(what, sizeof what, "%s: key %zd of the list", fn, i);
      if (!toStdString(item, what, &key)) return false;
    }
    out->push_back(std::move(key));
  }
  return true;
}

int registerModule(const char* name, PyMethodDef* table, const char* bootstrap) {
  PyObject* module = PyImport_AddModule(name);  // borrowed; kept alive by sys.modules
  if (module == nullptr || PyModule_AddFunctions(module, table) < 0) {
    PyErr_Print();
    return -1;
  }
  return PyRun_SimpleString(bootstrap);
}

void logSystemException(const char* fn, const CORBA::SystemException& ex) {
  qmr_util::Log::primary()->error(
      "%s: the data store could not be reached again (CORBA system exception %s); check that "
      "the naming service and the data store are running",
      fn, ex._name());
}

PyObject* noManager() {
  PyErr_SetString(PyExc_RuntimeError, "data store client is not initialised");
  return nullptr;
}

PyObject* raiseFromCurrentException(const char* fn) {
  try {
    throw;
  } catch (const CORBA::SystemException& ex) {
    PyErr_Format(PyExc_RuntimeError, "%s failed: CORBA system exception %s (minor code %lu)", fn,
                 ex._name(), static_cast<unsigned long>(ex.minor()));
  } catch (const CORBA::Exception& ex) {
    PyErr_Format(PyExc_RuntimeError, "%s failed: CORBA exception %s", fn, ex._name());
  } catch (const qmr_util::BaseException& ex) {
    PyErr_Format(PyExc_RuntimeError, "%s failed: %s (%s)", fn, ex.what(), ex.where());
  } catch (const std::exception& ex) {
    PyErr_Format(PyExc_RuntimeError, "%s failed: %s", fn, ex.what());
  } catch (...) {
    PyErr_Format(PyExc_RuntimeError, "%s failed with an unknown C++ exception", fn);
  }
  return nullptr;
}

}  // namespace intrinsics
}  // namespace QMR_Client
