// DataStoreServant.cc - checkDataFile, startSession and endSession.
#include "DataStoreServant.h"

#include "qmr/util/Log.h"

namespace qmr_datastored {

void DataStoreServant::checkDataFile() {
  qmr_util::Log* log = qmr_util::Log::primary();
  try {
    long purged = store_.checkAndPurge();
    log->info("checkDataFile: database %s passed the integrity check; %ld expired entries "
              "purged",
              store_.path().c_str(), purged);
  } catch (const StoreError& e) {
    if (e.kind() == StoreError::kDamaged) {
      log->error("checkDataFile: %s; stop the server and restore the file from a backup",
                 e.what());
    } else {
      log->error("checkDataFile: %s", e.what());
    }
    throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_NO);
  }
}

ClientCore::DataStoreSession_ptr DataStoreServant::startSession() { return sessions_.start(); }

void DataStoreServant::endSession(ClientCore::DataStoreSession_ptr session) {
  sessions_.end(session);
}

}  // namespace qmr_datastored
