// DataStoreServant.cc - checkDataFile, startSession and endSession.
#include "orb/DataStoreServant.h"

#include <omniORB4/callHandle.h>

#include "orb/PeerIdentity.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {

void DataStoreServant::checkDataFile() {
  qmr_util::Log* log = qmr_util::Log::primary();
  try {
    // The store logs each check once, with the callers that shared it.
    store_.checkAndPurge();
  } catch (const StoreError& e) {
    if (e.kind() == StoreError::kDamaged) {
      log->error("checkDataFile: %s; stop the server and restore the file from a backup", e.what());
    } else {
      log->error("checkDataFile: %s", e.what());
    }
    throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_NO);
  }
}

namespace {

// The call this thread is serving, for startSession to ask who the client is.
thread_local omniCallHandle* tCall = nullptr;

}  // namespace

CORBA::Boolean DataStoreServant::_dispatch(omniCallHandle& handle) {
  omniCallHandle* previous = tCall;
  tCall = &handle;
  try {
    CORBA::Boolean handled = POA_ClientCore::DataStore::_dispatch(handle);
    tCall = previous;
    return handled;
  } catch (...) {
    tCall = previous;
    throw;
  }
}

ClientCore::DataStoreSession_ptr DataStoreServant::startSession() {
  return sessions_.start(tCall != nullptr ? peerIdentity(*tCall) : "in-process");
}

void DataStoreServant::endSession(ClientCore::DataStoreSession_ptr session) {
  sessions_.end(session);
}

}  // namespace qmr_datastored
