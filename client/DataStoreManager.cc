// DataStoreManager.cc - the process's data store client: connection and session, reads with the
// client cache, writes and transactions. One session serves the whole process; a CORBA system
// exception is logged, reported as false, and followed by a fresh lookup and session.
#include "qmr/DataStoreManager.h"

#include <cstdint>
#include <iterator>
#include <vector>

#include "GetCall.h"
#include "qmr/util/Log.h"

namespace QMR_Client {

namespace {

// Base name of this unit, carried by the exceptions it throws.
constexpr const char* baseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}
constexpr const char* kSourceFile = baseName(__FILE__);

// Process-wide connection state, shared by every manager object. Released (session first, in
// reverse order of declaration) when the library is unloaded, without ending the session.
ClientCore::DataStore_var dataStore_;
ClientCore::DataStoreSession_var session_;
bool cachingDefault_ = false;
// Beyond the specified state, read by callers that must know whether their transaction
// outlived its session: sessions started so far, and the generation of the first write of the
// open transaction (0: none since the last successful commit or abort).
std::uint64_t sessionGeneration_ = 0;
std::uint64_t transactionGeneration_ = 0;

// Notes a write (set or remove) of the open transaction, before its remote call.
void noteWrite() {
  if (transactionGeneration_ == 0) transactionGeneration_ = sessionGeneration_;
}

qmr_util::InitException initError(unsigned int line, const char* message) {
  return qmr_util::InitException(kSourceFile, line, message, "InitException");
}

using ResultMap = std::map<std::string, std::string>;

// Refills a caller's results map with a reply whose keys come in ascending order, each once.
// Entries of keys read again keep their place and take the new value in the room of the old one,
// entries of keys not in the reply go, new keys go in at their place: the map ends exactly as if
// it had been emptied and filled, but a caller that reads the same keys again frees and
// allocates nothing. Unless finish() is reached, the map is emptied when the Refill ends (a
// failed read).
class Refill {
 public:
  explicit Refill(ResultMap& results) : results_(results), next_(results.begin()) {}
  ~Refill() {
    if (!done_) results_.clear();
  }
  Refill(const Refill&) = delete;
  Refill& operator=(const Refill&) = delete;

  // The value of `key`, which is above every key given before: its old value, or a new empty one.
  std::string& slot(const std::string& key) {
    skipBelow(key);
    if (next_ != results_.end() && next_->first == key) return (next_++)->second;
    return results_.emplace_hint(next_, key, std::string())->second;
  }
  // `key` (above every key given before) has no value: an entry under it goes.
  void drop(const std::string& key) {
    skipBelow(key);
    if (next_ != results_.end() && next_->first == key) next_ = results_.erase(next_);
  }
  // Empties the map; the keys given after this need not come in any order.
  void restart() {
    results_.clear();
    next_ = results_.end();
  }
  // Removes what is left above the last key and keeps the map.
  void finish() {
    results_.erase(next_, results_.end());
    done_ = true;
  }

 private:
  void skipBelow(const std::string& key) {
    while (next_ != results_.end() && next_->first < key) next_ = results_.erase(next_);
  }
  ResultMap& results_;
  ResultMap::iterator next_;
  bool done_ = false;
};

// Collects the values of a reply. Values are read straight into the caller's results map
// (which a failed read empties anyway); the keys without a value are only noted, and `missing`
// and the cache take the reply in apply(), once the call has returned: a read that fails
// part-way through the reply leaves both as they were. Keys come in ascending order and each
// once, unless a key was shortened at a NUL byte: then the results are emptied first, keys may
// repeat and come in any order, and the last value read wins.
class ReplyCollector : public ValueReceiver {
 public:
  ReplyCollector(Refill& refill, ResultMap& results) : refill_(refill), results_(results) {}

  void start(bool shortened) override {
    if (started_ || shortened) refill_.restart();  // a retried call: the first reply is void
    started_ = true;
    shortened_ = shortened;
    absent_.clear();
    absentCopies_.clear();
  }
  std::string& found(const std::string& key) override {
    return shortened_ ? results_[key] : refill_.slot(key);
  }
  void absent(const std::string& key) override {
    if (shortened_) {
      absentCopies_.push_back(key);
    } else {
      refill_.drop(key);
      absent_.push_back(&key);  // an element of the caller's key set
    }
  }

  // Files the keys without a value in `missing` and, unless `cache` is null, every value read
  // in it. Call after the call returned and the results were finished.
  void apply(std::set<std::string>& missing, ResultMap* cache) const {
    auto missingHint = missing.begin();
    for (const std::string* key : absent_) {
      missingHint = std::next(missing.insert(missingHint, *key));
    }
    for (const std::string& key : absentCopies_) missing.insert(key);
    if (cache == nullptr) return;
    auto cacheHint = cache->begin();  // keys ascend: the next one goes after the last
    for (const auto& entry : results_) {
      cacheHint = std::next(cache->insert_or_assign(cacheHint, entry.first, entry.second));
    }
  }

 private:
  Refill& refill_;
  ResultMap& results_;
  bool started_ = false;
  bool shortened_ = false;
  std::vector<const std::string*> absent_;
  std::vector<std::string> absentCopies_;  // keys shortened at a NUL byte
};

}  // namespace

DataStoreManager* DataStoreManager::instance_ = nullptr;

// ---- life cycle --------------------------------------------------------------------------

bool DataStoreManager::init(const std::string& dataStoreName) {
  if (instance_ != nullptr) {
    throw initError(__LINE__, "BUG: DataStoreManager Already initialized");
  }
  instance_ = new DataStoreManager(dataStoreName);
  if (CORBA::is_nil(session_)) {
    uninit();
    throw initError(__LINE__, "DataStoreManager Could not establish a session");
  }
  return true;
}

void DataStoreManager::uninit() {
  if (instance_ != nullptr) {
    delete instance_;
    instance_ = nullptr;
  }
}

DataStoreManager* DataStoreManager::instance() { return instance_; }

std::uint64_t DataStoreManager::sessionGeneration() { return sessionGeneration_; }

std::uint64_t DataStoreManager::transactionGeneration() { return transactionGeneration_; }

DataStoreManager::DataStoreManager(const std::string& dataStoreName)
    : dataStoreName_(dataStoreName) {
  if (CORBA::is_nil(session_)) {
    resetSession_();
  }
}

DataStoreManager::~DataStoreManager() {
  if (!CORBA::is_nil(dataStore_)) {
    try {
      dataStore_->endSession(session_);
    } catch (const CORBA::SystemException&) {
      qmr_util::Log::primary()->error("CORBA system exception in DataStoreManager d'tor");
    }
  }
  session_ = ClientCore::DataStoreSession::_nil();
  dataStore_ = ClientCore::DataStore::_nil();
  transactionGeneration_ = 0;
}

bool DataStoreManager::resetSession_() {
  bool result = true;
  qmr_util::Log::primary()->info("Attempting to connect to DataStore..");
  // Not guarded: a failing lookup leaves both references as they were.
  dataStore_ = lookup_object<ClientCore::DataStore>(std::string(dataStoreName_.c_str()));
  if (CORBA::is_nil(dataStore_)) {
    return true;  // nothing found: the old session stays in use
  }
  try {
    ClientCore::DataStoreSession_var fresh = dataStore_->startSession();
    if (CORBA::is_nil(fresh)) {
      // A service that answers without a session is no better than one that fails.
      qmr_util::Log::primary()->error("DataStore connection NOT established");
      return false;
    }
    session_ = fresh._retn();
    ++sessionGeneration_;
    qmr_util::Log::primary()->info("DataStore connection established");
  } catch (const CORBA::SystemException&) {
    qmr_util::Log::primary()->error("DataStore connection NOT established");
    result = false;
  }
  return result;
}

// ---- reads and the cache -----------------------------------------------------------------

bool DataStoreManager::get(const std::set<std::string>& keys,
                           std::map<std::string, std::string>& results,
                           std::set<std::string>& missing, bool useCache) {
  const CORBA::ULong n = static_cast<CORBA::ULong>(keys.size());
  if (n == 0) {
    results.clear();
    return true;
  }

  // The keys go on the wire straight from the set and each value is read into the entry of the
  // results map that keeps it (client/GetCall.h); `missing` and the cache change only once the
  // whole reply is in.
  Refill refill(results);  // empties results unless the read succeeds
  ReplyCollector reply(refill, results);
  try {
    const CORBA::ULong count = getInto(session_, keys, reply);
    if (count < n) {
      qmr_util::Log::primary()->error("DataStore reply to get() holds %lu values for %lu keys",
                                      static_cast<unsigned long>(count),
                                      static_cast<unsigned long>(n));
      return false;
    }
    refill.finish();
    reply.apply(missing, useCache ? &cache_ : nullptr);
    return true;
  } catch (const CORBA::SystemException&) {
    qmr_util::Log::primary()->error("CORBA system exception in DataStoreManager::get()");
    results.clear();
    resetSession_();
    return false;
  }
}

bool DataStoreManager::get(const std::set<std::string>& keys,
                           std::map<std::string, std::string>& results,
                           std::set<std::string>& missing) {
  return get(keys, results, missing, cachingDefault_);
}

void DataStoreManager::clearCache() {
  if (!cache_.empty()) cache_.clear();
}

void DataStoreManager::enableCaching(const bool& enable) { cachingDefault_ = enable; }

// ---- writes and transactions -------------------------------------------------------------

bool DataStoreManager::set(const std::list<Entry>& entries) {
  bool result = false;
  try {
    const CORBA::ULong n = static_cast<CORBA::ULong>(entries.size());
    ClientCore::DataStoreSession::EntryList list(n);
    list.length(n);
    CORBA::ULong i = 0;
    noteWrite();
    for (const Entry& entry : entries) {
      ClientCore::DataStoreSession::Entry& wire = list[i++];
      wire.key = CORBA::string_dup(entry.key.c_str());
      wire.data = CORBA::string_dup(entry.data.c_str());
      wire.expir = entry.expir;
      modifiedKeys_.insert(entry.key);  // recorded even if the call fails
    }
    session_->set(list);
    result = true;
  } catch (const ClientCore::DataStoreSession::TransactionSizeExceeded&) {
    qmr_util::Log::primary()->error("Transaction size exceeded for DataStoreManager::set()");
  } catch (const CORBA::SystemException&) {
    qmr_util::Log::primary()->error("CORBA system exception in DataStoreManager::set()");
    resetSession_();
  }
  return result;
}

bool DataStoreManager::remove(const std::set<std::string>& keys) {
  bool result = false;
  try {
    const CORBA::ULong n = static_cast<CORBA::ULong>(keys.size());
    ClientCore::StringList list(n);
    list.length(n);
    CORBA::ULong i = 0;
    noteWrite();
    for (const std::string& key : keys) {
      list[i++] = CORBA::string_dup(key.c_str());
      modifiedKeys_.insert(key);
    }
    session_->remove(list);
    result = true;
  } catch (const ClientCore::DataStoreSession::TransactionSizeExceeded&) {
    qmr_util::Log::primary()->error("Transaction size exceeded for DataStoreManager::remove()");
  } catch (const CORBA::SystemException&) {
    qmr_util::Log::primary()->error("CORBA system exception in DataStoreManager::remove()");
    resetSession_();
  }
  return result;
}

bool DataStoreManager::commit() {
  bool result = false;
  try {
    session_->commit();
    result = true;
    for (const std::string& key : modifiedKeys_) {
      cache_.erase(key);
    }
    modifiedKeys_.clear();
    transactionGeneration_ = 0;
  } catch (const CORBA::SystemException&) {
    qmr_util::Log::primary()->error("CORBA system exception in DataStoreManager::commit()");
    resetSession_();
  }
  return result;
}

bool DataStoreManager::abort() {
  bool result = false;
  try {
    session_->abort();
    result = true;
    modifiedKeys_.clear();
    transactionGeneration_ = 0;
  } catch (const CORBA::SystemException&) {
    qmr_util::Log::primary()->error("CORBA system exception in DataStoreManager::abort()");
    resetSession_();
  }
  return result;
}

}  // namespace QMR_Client
