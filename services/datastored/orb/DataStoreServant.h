// DataStoreServant.h - the servant of ClientCore::DataStore: checks the data file and starts
// and ends sessions through the SessionRegistry, telling it which client asks.
//
// Thread-safety: as safe as Store and SessionRegistry, which it only forwards to. Borrows
// both; they must outlive it.
#ifndef QMR_DATASTORED_DATASTORESERVANT_H
#define QMR_DATASTORED_DATASTORESERVANT_H

#include "sessions/SessionRegistry.h"
#include "store/Store.h"
#include "qmr/ClientCore/DataStore.hh"

namespace qmr_datastored {

class DataStoreServant : public POA_ClientCore::DataStore {
 public:
  DataStoreServant(Store& store, SessionRegistry& sessions) : store_(store), sessions_(sessions) {}

  // Integrity check of the database file, then purge of expired entries. A damaged file or
  // a failing database raises PERSIST_STORE after an error log line.
  void checkDataFile() override;
  // Starts a session for the calling client: the GIOP connection the call came on (its peer
  // address, "giop:unix:PATH 00000002" or "giop:tcp:127.0.0.1:PORT"), or "in-process".
  ClientCore::DataStoreSession_ptr startSession() override;
  void endSession(ClientCore::DataStoreSession_ptr session) override;

 protected:
  // Notes the caller's peer address for startSession, then dispatches as generated.
  CORBA::Boolean _dispatch(omniCallHandle& handle) override;

 private:
  Store& store_;
  SessionRegistry& sessions_;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_DATASTORESERVANT_H
