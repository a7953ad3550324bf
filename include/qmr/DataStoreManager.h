// DataStoreManager.h - the process's one client of the data store service: start here.
//
// DataStoreManager::init(name) finds the data store (qmr_util::raw_lookup) and starts one
// ClientCore::DataStoreSession that every read and write of the process then uses. A CORBA
// system exception in an operation is logged, turned into a false result, and followed by a
// fresh lookup and session (resetSession_); an exception of that lookup itself (the naming
// service cannot be reached) leaves the operation. Values read with caching on are recorded in
// a client cache; a successful commit drops the entries of the keys written in its
// transaction. Reads always ask the session; the cache is a record, not a source.
//
// Thread-safety: none. The singleton, the process-wide references, the cache and the caching
// default are unguarded; callers make their calls one at a time (in the host, the Python
// interpreter lock serialises them). init() and uninit() must not overlap any other call.
#ifndef QMR_DATASTOREMANAGER_H
#define QMR_DATASTOREMANAGER_H

#include "qmr/ClientCore/DataStore.hh"
#include "qmr/ClientCore/DataStoreSession.hh"

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>

#include "qmr/Exception.h"
#include "qmr/util/Lookup.h"

namespace QMR_Client {

// The object registered under `name`, narrowed to T: a new reference that the caller owns
// (hold it in a T_var), nil when nothing is registered there or it is not a T. Exceptions of the
// lookup and of the narrow pass to the caller. The second parameter is a type tag, never read.
template <typename T>
typename T::_ptr_type lookup_object(const std::string& name,
                                    typename T::_ptr_type /*tag*/ = nullptr) {
  CORBA::Object_var obj = qmr_util::raw_lookup(name);
  typename T::_var_type typed = T::_narrow(obj);
  return typed._retn();
}

class DataStoreManager {
 public:
  // One write as the manager receives it.
  struct Entry {
    Entry() : expir(0) {}
    Entry(const std::string& k, const std::string& d, CORBA::Long e) : key(k), data(d), expir(e) {}
    std::string key;
    std::string data;
    CORBA::Long expir;  // passed to the service unchanged (seconds of life; <= 0: forever)
  };

  // Creates the singleton and starts a session with the data store registered under
  // `dataStoreName` (anything raw_lookup accepts). Returns true. Throws
  // qmr_util::InitException when a manager already exists or no session can be started;
  // exceptions of the lookup itself (e.g. CORBA::TRANSIENT when the naming service cannot be
  // reached) pass through.
  static bool init(const std::string& dataStoreName);
  // Ends the session and destroys the singleton; does nothing without one.
  static void uninit();
  // The singleton, or null before init() and after uninit(). Not owned by the caller.
  static DataStoreManager* instance();

  explicit DataStoreManager(const std::string& dataStoreName);
  ~DataStoreManager();
  DataStoreManager(const DataStoreManager&) = delete;
  DataStoreManager& operator=(const DataStoreManager&) = delete;

  // Reads `keys` in one request. On true, every key is either in `results` (key to value) or
  // inserted into `missing` (not emptied first). On false (the session failed), `results` is
  // empty. With useCache, values read are also recorded in the cache.
  bool get(const std::set<std::string>& keys, std::map<std::string, std::string>& results,
           std::set<std::string>& missing, bool useCache);
  // As above, with the process-wide caching default (see enableCaching).
  bool get(const std::set<std::string>& keys, std::map<std::string, std::string>& results,
           std::set<std::string>& missing);
  // Empties the client cache.
  void clearCache();
  // Sets the process-wide caching default of the three-argument get (false at load).
  void enableCaching(const bool& enable);

  // Writes the entries in list order, in one request. False on failure.
  bool set(const std::list<Entry>& entries);
  // Removes the keys in one request. False on failure.
  bool remove(const std::set<std::string>& keys);
  // Commits the session's changes; on success drops the cache entries of the keys written.
  bool commit();
  // Abandons the session's changes; the cache is not touched.
  bool abort();

  // Whether a transaction outlived its session. After a system exception the manager starts a
  // fresh session, and a later commit() then succeeds without the writes made in the old one.
  // sessionGeneration(): how many sessions this process has started (0 before the first); it
  // grows by one each time a session is started, first or replacement, and never goes down.
  // transactionGeneration(): the session generation current at the first set() or remove()
  // since the last successful commit() or abort() (counted whatever the write's outcome), 0
  // when there was none. When the two differ before a commit, writes of the transaction went to
  // a session that has since been replaced. Both are process-wide, like the session.
  static std::uint64_t sessionGeneration();
  static std::uint64_t transactionGeneration();

  // Looks the data store up again and starts a new session. Called after a CORBA system
  // exception; internal, public for the tests.
  bool resetSession_();

  // Read-only views for inspection and tests.
  const std::map<std::string, std::string>& cache() const { return cache_; }
  const std::set<std::string>& modifiedKeys() const { return modifiedKeys_; }

 private:
  std::set<std::string> modifiedKeys_;
  std::map<std::string, std::string> cache_;
  std::string dataStoreName_;

  static DataStoreManager* instance_;
};

}  // namespace QMR_Client

#endif  // QMR_DATASTOREMANAGER_H
