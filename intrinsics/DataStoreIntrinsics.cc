// DataStoreIntrinsics.cc - the _datastore module: its function table, registration and
// bootstrap, and the read function get(keys, cache). The write, transaction and cache
// functions are in DataStoreWrites.cc.
#include "qmr/DataStoreIntrinsics.h"

#include <map>
#include <set>
#include <string>
#include <vector>

#include "IntrinsicsSupport.h"
#include "qmr/DataStoreManager.h"
#include "qmr/util/Log.h"

namespace QMR_Client {
namespace {

// The interpreter keeps pointers into this table for the life of the process.
PyMethodDef datastoreMethods[] = {
    {"get", DataStoreIntrinsics::get_, METH_VARARGS, nullptr},
    {"set", DataStoreIntrinsics::set_, METH_VARARGS, nullptr},
    {"remove", DataStoreIntrinsics::remove_, METH_VARARGS, nullptr},
    {"commit", DataStoreIntrinsics::commit_, METH_VARARGS, nullptr},
    {"abort", DataStoreIntrinsics::abort_, METH_VARARGS, nullptr},
    {"clearCache", DataStoreIntrinsics::clearCache_, METH_VARARGS, nullptr},
    {"enableCaching", DataStoreIntrinsics::enableCaching_, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char kBootstrap[] =
    "import qmr.DataStoreInterface\n"
    "from qmr.embedded.DataStoreInterfaceImpl import InterfaceImpl\n"
    "qmr.DataStoreInterface.interface = InterfaceImpl()\n";

// Fills a new dict from `found` (key to value) and one from `missing` (key to None).
// On success stores both new references and returns true; otherwise releases what it made and
// returns false with a Python exception set.
bool buildResultDicts(const std::map<std::string, std::string>& found,
                      const std::set<std::string>& missing, PyObject** foundOut,
                      PyObject** missingOut) {
  PyObject* foundDict = PyDict_New();
  PyObject* missingDict = PyDict_New();
  if (foundDict == nullptr || missingDict == nullptr) {
    Py_XDECREF(foundDict);
    Py_XDECREF(missingDict);
    PyErr_SetString(PyExc_RuntimeError, "Error creating dictionary for get results");
    return false;
  }
  for (const auto& pair : found) {
    PyObject* key = intrinsics::fromStdString(pair.first);
    PyObject* value = key != nullptr ? intrinsics::fromStdString(pair.second) : nullptr;
    int rc = value != nullptr ? PyDict_SetItem(foundDict, key, value) : -1;
    Py_XDECREF(key);
    Py_XDECREF(value);
    if (rc < 0) {
      Py_DECREF(foundDict);
      Py_DECREF(missingDict);
      return false;
    }
  }
  for (const auto& name : missing) {
    PyObject* key = intrinsics::fromStdString(name);
    int rc = key != nullptr ? PyDict_SetItem(missingDict, key, Py_None) : -1;
    Py_XDECREF(key);
    if (rc < 0) {
      Py_DECREF(foundDict);
      Py_DECREF(missingDict);
      return false;
    }
  }
  *foundOut = foundDict;
  *missingOut = missingDict;
  return true;
}

// The results map of the last get(), kept (under the interpreter lock) so that the next one
// hands it to the manager, which refills its entries in place rather than allocating new ones.
// A get() takes the map out for its own use and puts it back when it ends, so a get() that
// runs inside another (a finalizer run while the dicts are built) simply starts with none.
struct KeptResults {
  KeptResults() { map.swap(slot()); }
  ~KeptResults() { slot().swap(map); }
  KeptResults(const KeptResults&) = delete;
  KeptResults& operator=(const KeptResults&) = delete;
  static std::map<std::string, std::string>& slot() {
    static std::map<std::string, std::string> kept;
    return kept;
  }
  std::map<std::string, std::string> map;
};

PyObject* get(PyObject* args) {
  PyObject* keys = nullptr;
  PyObject* cache = nullptr;
  if (!PyArg_ParseTuple(args, "OO:get", &keys, &cache)) return nullptr;

  bool explicitChoice = false;
  bool useCache = false;
  if (cache != Py_None) {
    if (!PyLong_Check(cache)) {
      PyErr_Format(PyExc_TypeError,
                   "get: the caching choice must be None or an int (0: do not cache, "
                   "nonzero: cache), not %.200s",
                   Py_TYPE(cache)->tp_name);
      return nullptr;
    }
    int truth = PyObject_IsTrue(cache);  // any size of int, no overflow
    if (truth < 0) return nullptr;
    explicitChoice = true;
    useCache = truth != 0;
  }

  std::vector<std::string> keyList;
  if (!intrinsics::keyList(keys, "get", "keys argument is empty or not of type list", &keyList)) {
    return nullptr;
  }
  DataStoreManager* manager = DataStoreManager::instance();
  if (manager == nullptr) return intrinsics::noManager();

  qmr_util::Log* log = qmr_util::Log::primary();
  std::set<std::string> keySet;
  for (const std::string& key : keyList) {
    if (!keySet.insert(key).second) {
      log->warning("Ignoring duplicate get request for key = %s", key.c_str());
    }
  }
  // " a  b ": each key once, in list order, with a space on either side, for the log lines.
  // Written only when a line that shows it is logged.
  auto keyText = [&keyList]() {
    std::string text;
    std::set<std::string> seen;
    for (const std::string& key : keyList) {
      if (seen.insert(key).second) {
        text += ' ';
        text += key;
        text += ' ';
      }
    }
    return text;
  };
  const bool debug = log->enabled(qmr_util::Log::kDebug);
  if (debug) log->debug("Retrieving data for keys (%s).", keyText().c_str());

  KeptResults kept;
  std::map<std::string, std::string>& results = kept.map;
  std::set<std::string> missing;
  bool ok = intrinsics::managerCall("get", [&] {
    return explicitChoice ? manager->get(keySet, results, missing, useCache)
                          : manager->get(keySet, results, missing);
  });
  if (!ok) {
    log->error("Error retrieving values from datastore (%s)", keyText().c_str());
    return Py_BuildValue("(i,O)", 0, Py_None);
  }
  if (!debug) {
    // Nothing to log.
  } else if (!explicitChoice) {
    log->debug("Values (%s) cached according to DEFAULT.", keyText().c_str());
  } else if (useCache) {
    log->debug("Values (%s) cached.", keyText().c_str());
  } else {
    log->debug("Values (%s) NOT cached.", keyText().c_str());
  }

  PyObject* foundDict = nullptr;
  PyObject* missingDict = nullptr;
  if (!buildResultDicts(results, missing, &foundDict, &missingDict)) return nullptr;
  // "N" hands both dictionaries to the tuple (also when building it fails).
  return Py_BuildValue("(i,N,N)", 1, foundDict, missingDict);
}

}  // namespace

void DataStoreIntrinsics::init() {
  intrinsics::registerModule("_datastore", datastoreMethods, kBootstrap);
}

void DataStoreIntrinsics::uninit() {}

PyObject* DataStoreIntrinsics::get_(PyObject*, PyObject* args) {
  return intrinsics::guarded("_datastore.get", [args] { return get(args); });
}

}  // namespace QMR_Client
