// DataStoreWrites.cc - the _datastore functions besides get: set, remove, commit, abort,
// enableCaching and clearCache. Data functions return a status int (1 success, 0 failure);
// the cache functions return None.
#include <cstdint>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "IntrinsicsSupport.h"
#include "qmr/DataStoreIntrinsics.h"
#include "qmr/DataStoreManager.h"
#include "qmr/util/Log.h"
#include "qmr/util/Python.h"

namespace QMR_Client {
namespace {

using qmr_util::Log;

// Reads entry `index` of the list given to set(): a tuple (key: str, value: str, expiry: int).
// False with a Python exception set when it is anything else.
bool parseEntry(PyObject* item, Py_ssize_t index, DataStoreManager::Entry* entry) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) {
    if (PyTuple_Check(item)) {
      PyErr_Format(PyExc_TypeError,
                   "set: entry %zd must be a tuple (key: str, value: str, expiry: int), "
                   "not a tuple of %zd items",
                   index, PyTuple_GET_SIZE(item));
    } else {
      PyErr_Format(PyExc_TypeError,
                   "set: entry %zd must be a tuple (key: str, value: str, expiry: int), "
                   "not %.200s",
                   index, Py_TYPE(item)->tp_name);
    }
    return false;
  }
  char what[64];
  std::snprintf(what, sizeof what, "set: the key of entry %zd", index);
  if (!intrinsics::toStdString(PyTuple_GET_ITEM(item, 0), what, &entry->key)) return false;
  std::snprintf(what, sizeof what, "set: the value of entry %zd", index);
  if (!intrinsics::toStdString(PyTuple_GET_ITEM(item, 1), what, &entry->data)) return false;
  PyObject* expiry = PyTuple_GET_ITEM(item, 2);
  if (!PyLong_Check(expiry)) {
    PyErr_Format(PyExc_TypeError, "set: the expiry of entry %zd must be an int, not %.200s", index,
                 Py_TYPE(expiry)->tp_name);
    return false;
  }
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(expiry, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
    PyErr_Format(PyExc_OverflowError,
                 "set: the expiry of entry %zd does not fit in a 32-bit signed integer", index);
    return false;
  }
  entry->expir = static_cast<CORBA::Long>(value);
  return true;
}

PyObject* setEntries(PyObject* args) {
  PyObject* entries = nullptr;
  if (!PyArg_ParseTuple(args, "O:set", &entries)) return nullptr;
  if (!PyList_Check(entries) || PyList_GET_SIZE(entries) <= 0) {
    PyErr_SetString(PyExc_TypeError, "entries arg is empty or not of type list");
    return nullptr;
  }
  // Every element becomes an entry, duplicates included, in list order, and is logged as it is
  // taken; one bad element stops the call before anything reaches the manager. Without a
  // manager the entries are still checked (bad arguments are a TypeError first, as in get),
  // but not logged as being added, since nothing will add them.
  DataStoreManager* manager = DataStoreManager::instance();
  std::list<DataStoreManager::Entry> entryList;
  const Py_ssize_t n = PyList_GET_SIZE(entries);
  for (Py_ssize_t i = 0; i < n; ++i) {
    DataStoreManager::Entry entry;
    if (!parseEntry(PyList_GET_ITEM(entries, i), i, &entry)) return nullptr;
    entryList.push_back(entry);
    if (manager == nullptr) continue;
    Log::primary()->debug("Adding datastore entry (%s=%s; Exp=%ld)", entry.key.c_str(),
                          entry.data.c_str(), static_cast<long>(entry.expir));
  }
  if (manager == nullptr) return intrinsics::noManager();
  int status = 1;
  if (!intrinsics::managerCall("set", [&] { return manager->set(entryList); })) {
    status = 0;
    Log::primary()->error("Error setting (adding) entries!");
  }
  return Py_BuildValue("i", status);
}

PyObject* removeKeys(PyObject* args) {
  PyObject* keys = nullptr;
  if (!PyArg_ParseTuple(args, "O:remove", &keys)) return nullptr;
  std::vector<std::string> keyList;
  if (!intrinsics::keyList(keys, "remove", "keys arg is empty or not of type list", &keyList)) {
    return nullptr;
  }
  DataStoreManager* manager = DataStoreManager::instance();
  if (manager == nullptr) return intrinsics::noManager();

  std::set<std::string> keySet;
  std::string keyText;  // " a  b ", as in get's log lines
  for (const std::string& key : keyList) {
    if (keySet.insert(key).second) {
      keyText += ' ';
      keyText += key;
      keyText += ' ';
    } else {
      Log::primary()->warning("Ignoring duplicate remove request for key = %s", key.c_str());
    }
  }
  Log::primary()->debug("Removing keys (%s)", keyText.c_str());
  int status = 1;
  if (!intrinsics::managerCall("remove", [&] { return manager->remove(keySet); })) {
    status = 0;
    Log::primary()->error("Error removing keys (%s)!", keyText.c_str());
  }
  return Py_BuildValue("i", status);
}

// commit() and abort(): the arguments are not looked at.
PyObject* endTransaction(bool commit) {
  DataStoreManager* manager = DataStoreManager::instance();
  if (manager == nullptr) return intrinsics::noManager();
  Log::primary()->debug(commit ? "Committing datastore changes" : "Aborting datastore changes");
  bool ok = intrinsics::managerCall(commit ? "commit" : "abort",
                                    [&] { return commit ? manager->commit() : manager->abort(); });
  if (!ok)
    Log::primary()->error(commit ? "Error committing cache changes" : "Error aborting cache");
  return Py_BuildValue("i", ok ? 1 : 0);
}

PyObject* enableCaching(PyObject* args) {
  int flag = 0;
  if (!PyArg_ParseTuple(args, "i:enableCaching", &flag)) return nullptr;
  DataStoreManager* manager = DataStoreManager::instance();
  if (manager == nullptr) return intrinsics::noManager();
  Log::primary()->debug(flag != 0 ? "Enabling datastore caching" : "Disabling datastore caching");
  const bool enable = flag != 0;
  manager->enableCaching(enable);
  return qmr_util::Python::none();
}

PyObject* clearCache() {
  DataStoreManager* manager = DataStoreManager::instance();
  if (manager == nullptr) return intrinsics::noManager();
  Log::primary()->debug("Clearing datastore cache");
  manager->clearCache();
  return qmr_util::Python::none();
}

}  // namespace

PyObject* DataStoreIntrinsics::set_(PyObject*, PyObject* args) {
  return intrinsics::guarded("_datastore.set", [args] { return setEntries(args); });
}

PyObject* DataStoreIntrinsics::remove_(PyObject*, PyObject* args) {
  return intrinsics::guarded("_datastore.remove", [args] { return removeKeys(args); });
}

PyObject* DataStoreIntrinsics::commit_(PyObject*, PyObject*) {
  return intrinsics::guarded("_datastore.commit", [] { return endTransaction(true); });
}

PyObject* DataStoreIntrinsics::abort_(PyObject*, PyObject*) {
  return intrinsics::guarded("_datastore.abort", [] { return endTransaction(false); });
}

PyObject* DataStoreIntrinsics::enableCaching_(PyObject*, PyObject* args) {
  return intrinsics::guarded("_datastore.enableCaching", [args] { return enableCaching(args); });
}

PyObject* DataStoreIntrinsics::clearCache_(PyObject*, PyObject*) {
  return intrinsics::guarded("_datastore.clearCache", [] { return clearCache(); });
}

}  // namespace QMR_Client
