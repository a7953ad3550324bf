// TestServants.cc - the binding tests' servants: plain behaviour plus switchable faults.
#include "TestServants.h"

#include <stdexcept>

namespace qmr_test {

void Journal::add(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(line);
  if (sink_) sink_(line);
}

std::vector<std::string> Journal::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

CORBA::UShort TestGpi::numPins() {
  journal_.add("Gpi.numPins()");
  if (faulty_) throw ClientCore::GpiInterface::InvalidPin(0, kPins);
  return kPins;
}

void TestGpi::check(CORBA::UShort pin) {
  if (pin >= kPins) throw ClientCore::GpiInterface::InvalidPin(pin, kPins);
}

void TestGpi::activate(CORBA::UShort pin) {
  journal_.add("Gpi.activate(" + std::to_string(pin) + ")");
  check(pin);
  active_[pin] = true;
}

void TestGpi::deactivate(CORBA::UShort pin) {
  journal_.add("Gpi.deactivate(" + std::to_string(pin) + ")");
  check(pin);
  active_[pin] = false;
}

CORBA::Boolean TestGpi::isActive(CORBA::UShort pin) {
  journal_.add("Gpi.isActive(" + std::to_string(pin) + ")");
  check(pin);
  return active_[pin];
}

void TestRenderd::activateLayer(const char* layer) {
  journal_.add(std::string("Renderd.activateLayer(") + layer + ")");
}
void TestRenderd::deactivateLayer(const char* layer) {
  journal_.add(std::string("Renderd.deactivateLayer(") + layer + ")");
}
void TestRenderd::removeLayer(const char* layer) {
  journal_.add(std::string("Renderd.removeLayer(") + layer + ")");
}
void TestRenderd::execPresentationScript(const char* script) {
  journal_.add(std::string("Renderd.execPresentationScript(") + script + ")");
}
void TestRenderd::execPythonCommand(const char* command) {
  journal_.add(std::string("Renderd.execPythonCommand(") + command + ")");
  if (faulty_) throw std::runtime_error("not a CORBA exception");
}

void TestVspoold::addFile(const char* file) {
  journal_.add(std::string("Vspoold.addFile(") + file + ")");
}
void TestVspoold::setLooping(CORBA::Long looping) {
  journal_.add("Vspoold.setLooping(" + std::to_string(looping) + ")");
}
void TestVspoold::flush() { journal_.add("Vspoold.flush()"); }

void TestSession::get(const ClientCore::StringList& keys,
                      ClientCore::DataStoreSession::ValueList_out values) {
  journal_.add("Session.get(" + std::to_string(keys.length()) + ")");
  if (faulty_) throw ClientCore::DataStoreSession::TransactionSizeExceeded();
  ClientCore::DataStoreSession::ValueList_var out = new ClientCore::DataStoreSession::ValueList;
  out->length(keys.length());
  for (CORBA::ULong i = 0; i < keys.length(); ++i) {
    auto found = data_.find(keys[i].in());
    out[i].valid = found != data_.end();
    out[i].data = found != data_.end() ? found->second.c_str() : "";
  }
  values = out._retn();
}

void TestSession::set(const ClientCore::DataStoreSession::EntryList& entries) {
  journal_.add("Session.set(" + std::to_string(entries.length()) + ")");
  if (entries.length() > kMaxBatch) throw ClientCore::DataStoreSession::TransactionSizeExceeded();
  for (CORBA::ULong i = 0; i < entries.length(); ++i) {
    data_[entries[i].key.in()] = entries[i].data.in();
    journal_.add(std::string("  ") + entries[i].key.in() + " expir " +
                 std::to_string(entries[i].expir));
  }
}

void TestSession::remove(const ClientCore::StringList& keys) {
  journal_.add("Session.remove(" + std::to_string(keys.length()) + ")");
  if (keys.length() > kMaxBatch) throw ClientCore::DataStoreSession::TransactionSizeExceeded();
  for (CORBA::ULong i = 0; i < keys.length(); ++i) data_.erase(keys[i].in());
}

void TestSession::commit() {
  journal_.add("Session.commit()");
  if (faulty_) throw ClientCore::DataStoreSession::TransactionSizeExceeded();
}

void TestSession::abort() {
  journal_.add("Session.abort()");
  if (faulty_) throw CORBA::NO_PERMISSION(7, CORBA::COMPLETED_YES);
}

void TestDataStore::checkDataFile() { journal_.add("DataStore.checkDataFile()"); }

ClientCore::DataStoreSession_ptr TestDataStore::startSession() {
  journal_.add("DataStore.startSession()");
  return ClientCore::DataStoreSession::_duplicate(session_);
}

void TestDataStore::endSession(ClientCore::DataStoreSession_ptr session) {
  bool own = !CORBA::is_nil(session) && session->_is_equivalent(session_);
  journal_.add(std::string("DataStore.endSession(") + (own ? "own" : "other") + ")");
}

namespace {

CORBA::Object_ptr activate(PortableServer::POA_ptr poa, PortableServer::ServantBase* servant) {
  PortableServer::ObjectId_var id = poa->activate_object(servant);
  CORBA::Object_ptr ref = poa->id_to_reference(id);
  servant->_remove_ref();  // the POA owns it now
  return ref;
}

}  // namespace

std::map<std::string, CORBA::Object_var> activateAll(PortableServer::POA_ptr poa,
                                                     Journal& journal) {
  std::map<std::string, CORBA::Object_var> refs;
  refs["gpi"] = activate(poa, new TestGpi(journal, false));
  refs["gpi-faulty"] = activate(poa, new TestGpi(journal, true));
  refs["renderd"] = activate(poa, new TestRenderd(journal, false));
  refs["renderd-faulty"] = activate(poa, new TestRenderd(journal, true));
  refs["vspoold"] = activate(poa, new TestVspoold(journal));
  refs["session"] = activate(poa, new TestSession(journal, false));
  refs["session-faulty"] = activate(poa, new TestSession(journal, true));
  ClientCore::DataStoreSession_var session = ClientCore::DataStoreSession::_narrow(refs["session"]);
  refs["datastore"] = activate(poa, new TestDataStore(journal, session));
  return refs;
}

}  // namespace qmr_test
