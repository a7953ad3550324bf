// DataStoreServant.cc - checkDataFile, startSession and endSession.
#include "orb/DataStoreServant.h"

#include <omniORB4/callHandle.h>

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

// The peer address of the request this thread is serving. Every client on this machine comes
// from 127.0.0.1 or through the one socket, so the address alone would not tell them apart;
// with its port (TCP) or the connection number omniORB appends (Unix, "giop:unix:PATH
// 00000002") it names the connection, which is one per client process (omniORB may open a
// few more for calls made at once from several threads).
thread_local const char* tCaller = nullptr;

}  // namespace

CORBA::Boolean DataStoreServant::_dispatch(omniCallHandle& handle) {
  const char* previous = tCaller;
  tCaller = handle.peeraddress();
  try {
    CORBA::Boolean handled = POA_ClientCore::DataStore::_dispatch(handle);
    tCaller = previous;
    return handled;
  } catch (...) {
    tCaller = previous;
    throw;
  }
}

ClientCore::DataStoreSession_ptr DataStoreServant::startSession() {
  return sessions_.start(tCaller != nullptr ? tCaller : "in-process");
}

void DataStoreServant::endSession(ClientCore::DataStoreSession_ptr session) {
  sessions_.end(session);
}

}  // namespace qmr_datastored
