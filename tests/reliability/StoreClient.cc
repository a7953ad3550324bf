// StoreClient.cc - a direct client of one qmr-datastored for the reliability tests.
#include "StoreClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace qmr_test {

StoreClient::StoreClient(const DataStoreServer& server) {
  CORBA::Object_var obj = Stack::instance().orb()->string_to_object(server.ior().c_str());
  store_ = ClientCore::DataStore::_narrow(obj);
  if (CORBA::is_nil(store_)) throw std::runtime_error("the server's IOR is not a DataStore");
  session_ = store_->startSession();
  if (CORBA::is_nil(session_)) throw std::runtime_error("startSession returned nil");
}

StoreClient::~StoreClient() {
  try {
    store_->endSession(session_);
  } catch (...) {
  }
}

void StoreClient::set(const std::map<std::string, std::string>& entries) {
  ClientCore::DataStoreSession::EntryList list;
  list.length(static_cast<CORBA::ULong>(entries.size()));
  CORBA::ULong i = 0;
  for (const auto& [key, value] : entries) {
    list[i].key = key.c_str();
    list[i].data = value.c_str();
    list[i].expir = 0;
    ++i;
  }
  session_->set(list);
}

std::vector<std::optional<std::string>> StoreClient::get(const std::vector<std::string>& keys) {
  ClientCore::StringList list;
  list.length(static_cast<CORBA::ULong>(keys.size()));
  for (CORBA::ULong i = 0; i < list.length(); ++i) list[i] = keys[i].c_str();
  ClientCore::DataStoreSession::ValueList_var values;
  session_->get(list, values.out());
  std::vector<std::optional<std::string>> out;
  for (CORBA::ULong i = 0; i < values->length(); ++i) {
    if (values[i].valid) {
      out.emplace_back(std::string(values[i].data.in()));
    } else {
      out.emplace_back(std::nullopt);
    }
  }
  return out;
}

::testing::AssertionResult ServesAFreshClient(const DataStoreServer& server) {
  static std::atomic<int> probe{0};
  std::string key = "probe-" + std::to_string(++probe);
  try {
    StoreClient client(server);
    client.set({{key, "alive"}});
    client.commit();
    auto values = client.get({key});
    if (values.size() == 1 && values[0] == std::optional<std::string>("alive")) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the probe value did not read back";
  } catch (const CORBA::Exception& e) {
    return ::testing::AssertionFailure() << "a fresh client failed with " << e._name();
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "a fresh client failed: " << e.what();
  }
}

}  // namespace qmr_test
