// FaultyStore.cc - the fault-injecting store of the manager tests.
#include "FaultyStore.h"

namespace qmr_test {

void FaultySession::maybeFail() {
  store_->lastCaller = number_;
  switch (store_->fault) {
    case Fault::kSystem:
      throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    case Fault::kTooBig:
      throw ClientCore::DataStoreSession::TransactionSizeExceeded();
    default:
      break;
  }
}

void FaultySession::get(const ClientCore::StringList& keys,
                        ClientCore::DataStoreSession::ValueList_out values) {
  store_->lastKeys.clear();
  for (CORBA::ULong i = 0; i < keys.length(); ++i) store_->lastKeys.emplace_back(keys[i].in());
  maybeFail();
  CORBA::ULong n = keys.length();
  if (store_->fault == Fault::kShortReply && n > 0) --n;
  values = new ClientCore::DataStoreSession::ValueList(n);
  values->length(n);
  for (CORBA::ULong i = 0; i < n; ++i) {
    auto found = store_->committed.find(keys[i].in());
    (*values)[i].valid = found != store_->committed.end();
    (*values)[i].data = CORBA::string_dup(
        found != store_->committed.end() ? found->second.c_str() : "");
  }
}

void FaultySession::set(const ClientCore::DataStoreSession::EntryList& entries) {
  store_->lastEntries = entries;
  maybeFail();
  for (CORBA::ULong i = 0; i < entries.length(); ++i) {
    pending_[entries[i].key.in()] = {true, entries[i].data.in()};
  }
}

void FaultySession::remove(const ClientCore::StringList& keys) {
  store_->lastKeys.clear();
  for (CORBA::ULong i = 0; i < keys.length(); ++i) store_->lastKeys.emplace_back(keys[i].in());
  maybeFail();
  for (const std::string& key : store_->lastKeys) pending_[key] = {false, ""};
}

void FaultySession::commit() {
  maybeFail();
  for (const auto& change : pending_) {
    if (change.second.first) {
      store_->committed[change.first] = change.second.second;
    } else {
      store_->committed.erase(change.first);
    }
  }
  pending_.clear();
}

void FaultySession::abort() {
  maybeFail();
  pending_.clear();
}

FaultyStore::FaultyStore(PortableServer::POA_ptr poa)
    : poa_(PortableServer::POA::_duplicate(poa)) {}

FaultyStore::~FaultyStore() {
  for (FaultySession* session : sessions_) {
    PortableServer::ObjectId_var id = poa_->servant_to_id(session);
    poa_->deactivate_object(id);
    session->_remove_ref();
  }
}

ClientCore::DataStoreSession_ptr FaultyStore::startSession() {
  ++started;
  if (start == Start::kRaise) throw CORBA::COMM_FAILURE(0, CORBA::COMPLETED_NO);
  if (start == Start::kNil) return ClientCore::DataStoreSession::_nil();
  FaultySession* session = new FaultySession(this, static_cast<int>(sessions_.size()) + 1);
  sessions_.push_back(session);
  PortableServer::ObjectId_var id = poa_->activate_object(session);
  CORBA::Object_var obj = poa_->id_to_reference(id);
  return ClientCore::DataStoreSession::_narrow(obj);
}

void FaultyStore::endSession(ClientCore::DataStoreSession_ptr session) {
  int number = 0;
  for (FaultySession* candidate : sessions_) {
    CORBA::Object_var mine = poa_->servant_to_reference(candidate);
    if (!CORBA::is_nil(session) && session->_is_equivalent(mine)) number = candidate->number();
  }
  ended.push_back(number);
}

}  // namespace qmr_test
