// Requests.h - short helpers that build DataStoreSession requests and read their replies, for
// tests that call a session directly.
#ifndef QMR_TESTS_HARNESS_REQUESTS_H
#define QMR_TESTS_HARNESS_REQUESTS_H

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "qmr/ClientCore/DataStoreSession.hh"

namespace qmr_test {

using Value = std::optional<std::string>;  // nullopt: not valid
using Values = std::vector<Value>;

struct Put {
  std::string key;
  std::string data;
  long expir = 0;
};

inline ClientCore::DataStoreSession::EntryList entries(const std::vector<Put>& puts) {
  ClientCore::DataStoreSession::EntryList list(static_cast<CORBA::ULong>(puts.size()));
  list.length(static_cast<CORBA::ULong>(puts.size()));
  for (CORBA::ULong i = 0; i < list.length(); ++i) {
    list[i].key = puts[i].key.c_str();
    list[i].data = puts[i].data.c_str();
    list[i].expir = static_cast<CORBA::Long>(puts[i].expir);
  }
  return list;
}

inline ClientCore::StringList strings(const std::vector<std::string>& keys) {
  ClientCore::StringList list(static_cast<CORBA::ULong>(keys.size()));
  list.length(static_cast<CORBA::ULong>(keys.size()));
  for (CORBA::ULong i = 0; i < list.length(); ++i) list[i] = keys[i].c_str();
  return list;
}

// One get; the values in request order. Checks that the reply has one value per key.
inline Values read(ClientCore::DataStoreSession_ptr session, const std::vector<std::string>& keys) {
  ClientCore::DataStoreSession::ValueList_var values;
  session->get(strings(keys), values.out());
  EXPECT_EQ(values->length(), keys.size());
  Values out;
  for (CORBA::ULong i = 0; i < values->length(); ++i) {
    out.push_back(values[i].valid ? Value(values[i].data.in()) : std::nullopt);
  }
  return out;
}

inline Value read1(ClientCore::DataStoreSession_ptr session, const std::string& key) {
  return read(session, {key}).at(0);
}

}  // namespace qmr_test

#endif  // QMR_TESTS_HARNESS_REQUESTS_H
