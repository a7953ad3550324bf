// DataStoreIntrinsics.cc - the _datastore module: its function table, registration and
// bootstrap, and the read function get(keys, cache). The write, transaction and cache
// functions are in DataStoreWrites.cc.
//
// The read path, end to end (each step is where it is because a measurement put it there;
// README "Performance" and PERF-NOTES say which):
//   1. here, get(): the script's key list is sorted once (SortedKeys, which remembers the key
//      objects) and handed to DataStoreManager::get as a std::set that is refilled, not rebuilt.
//   2. client/DataStoreManager.cc, get(): answers nothing itself; gives GetCall a receiver
//      (ReplyFiler) that files each value into the caller's results map (Refill reuses its
//      nodes) and the cache, and resets the session on a system exception.
//   3. client/GetCall.cc: DataStoreSession::get through a call descriptor of its own (checked
//      against the generated stub at compile time): the keys go on the wire straight from the
//      set, and each value of the reply is read into the string the receiver gives it. A
//      servant in this process takes localCall instead.
//   4. services/datastored/sessions/Session.cc, get(): on the server, under the session's lock,
//      pending changes answer first; the other keys go to Store::lookup in one call.
//   5. services/datastored/store/Store.h -> engine/Reads.h: the SQLite Index answers from
//      memory under one shared lock (a Snapshot), PostgreSQL with one SELECT; either calls back
//      once per key (visit), in the request's order.
//   6. back in Session::get the values fill the reply; orb/SessionStrings.cc writes its strings
//      as blocks; then 3 reads it and 1 builds the two dicts (buildResultDicts, below).
#include "qmr/DataStoreIntrinsics.h"

#include <algorithm>
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

// The caller's keys, each with its str object, sorted by their octets (the order of the
// manager's sets and maps) and each once. The dicts of the result reuse these objects rather
// than decoding every key again. Holds a reference to each object until destroyed: building
// the dicts allocates, and a collection run then may call finalizers that change the list.
class SortedKeys {
 public:
  struct Key {
    const std::string* text;
    PyObject* object;  // null: not an exact str, build a new one
  };
  // `texts[i]` holds the octets of `list[i]`. Stores in *duplicates whether a key occurs more
  // than once.
  SortedKeys(PyObject* list, const std::vector<std::string>& texts, bool* duplicates) {
    keys_.reserve(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
      PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
      keys_.push_back({&texts[i], PyUnicode_CheckExact(item) ? item : nullptr});
    }
    auto less = [](const Key& a, const Key& b) { return *a.text < *b.text; };
    if (!std::is_sorted(keys_.begin(), keys_.end(), less)) {
      std::stable_sort(keys_.begin(), keys_.end(), less);
    }
    auto same = [](const Key& a, const Key& b) { return *a.text == *b.text; };
    auto end = std::unique(keys_.begin(), keys_.end(), same);
    *duplicates = end != keys_.end();
    keys_.erase(end, keys_.end());
    for (const Key& k : keys_) Py_XINCREF(k.object);
  }
  ~SortedKeys() {
    for (const Key& k : keys_) Py_XDECREF(k.object);
  }
  SortedKeys(const SortedKeys&) = delete;
  SortedKeys& operator=(const SortedKeys&) = delete;

  const std::vector<Key>& keys() const { return keys_; }

  // Walks the keys in order, for a sorted sequence of some of them.
  class Cursor {
   public:
    explicit Cursor(const SortedKeys& keys) : keys_(keys.keys_) {}
    // A new reference to a str equal to `text`: the caller's object when it is one of the keys
    // (each asked for in ascending order), a new one otherwise. Null with an exception set.
    PyObject* next(const std::string& text) {
      while (at_ < keys_.size() && *keys_[at_].text < text) ++at_;
      if (at_ < keys_.size() && keys_[at_].object != nullptr && *keys_[at_].text == text) {
        Py_INCREF(keys_[at_].object);
        return keys_[at_].object;
      }
      return intrinsics::fromStdString(text);
    }

   private:
    const std::vector<Key>& keys_;
    size_t at_ = 0;
  };

 private:
  std::vector<Key> keys_;
};

// Fills a new dict from `found` (key to value) and one from `missing` (key to None), with the
// key objects of `keys` where they fit. On success stores both new references and returns
// true; otherwise releases what it made and returns false with a Python exception set.
bool buildResultDicts(const std::map<std::string, std::string>& found,
                      const std::set<std::string>& missing, const SortedKeys& keys,
                      PyObject** foundOut, PyObject** missingOut) {
  PyObject* foundDict = PyDict_New();
  PyObject* missingDict = PyDict_New();
  if (foundDict == nullptr || missingDict == nullptr) {
    Py_XDECREF(foundDict);
    Py_XDECREF(missingDict);
    PyErr_SetString(PyExc_RuntimeError, "Error creating dictionary for get results");
    return false;
  }
  SortedKeys::Cursor foundKeys(keys);
  for (const auto& pair : found) {
    PyObject* key = foundKeys.next(pair.first);
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
  SortedKeys::Cursor missingKeys(keys);
  for (const auto& name : missing) {
    PyObject* key = missingKeys.next(name);
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

// The results map and the key set of the last get(), kept (under the interpreter lock) so
// that the next one reuses their entries rather than allocating new ones: the manager refills
// the map in place, and the key set is rebuilt from its own nodes. A get() takes them out for
// its own use and puts them back when it ends, so a get() that runs inside another (a
// finalizer run while the dicts are built) simply starts with none.
template <typename T>
struct Kept {
  Kept() { value.swap(slot()); }
  ~Kept() { slot().swap(value); }
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;
  static T& slot() {
    static T kept;
    return kept;
  }
  T value;
};

// Fills `keySet` (emptied first) with the sorted keys, reusing its nodes: each insertion lands
// at the end, without a search and, while old nodes last, without an allocation.
void refillKeySet(const SortedKeys& sorted, std::set<std::string>& keySet) {
  std::set<std::string> old;
  old.swap(keySet);
  for (const SortedKeys::Key& key : sorted.keys()) {
    if (old.empty()) {
      keySet.emplace_hint(keySet.end(), *key.text);
      continue;
    }
    auto node = old.extract(old.begin());
    node.value() = *key.text;
    keySet.insert(keySet.end(), std::move(node));
  }
}

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
  bool duplicates = false;
  SortedKeys sorted(keys, keyList, &duplicates);
  if (duplicates) {
    // Each later occurrence once more, in list order.
    std::set<std::string> seen;
    for (const std::string& key : keyList) {
      if (!seen.insert(key).second) {
        log->warning("Ignoring duplicate get request for key = %s", key.c_str());
      }
    }
  }
  Kept<std::set<std::string>> keptKeys;
  std::set<std::string>& keySet = keptKeys.value;
  refillKeySet(sorted, keySet);
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

  Kept<std::map<std::string, std::string>> kept;
  std::map<std::string, std::string>& results = kept.value;
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
  if (!buildResultDicts(results, missing, sorted, &foundDict, &missingDict)) return nullptr;
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
