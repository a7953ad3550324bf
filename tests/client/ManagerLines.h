// ManagerLines.h - what the DataStoreManager tests share: the containers the manager's calls
// take, and the log lines it writes around a reset of its session, word for word.
#ifndef QMR_TEST_MANAGERLINES_H
#define QMR_TEST_MANAGERLINES_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "qmr/DataStoreManager.h"

namespace qmr_test {

using QMR_Client::DataStoreManager;
using Map = std::map<std::string, std::string>;
using Keys = std::set<std::string>;
using Lines = std::vector<std::string>;

constexpr char kAttempt[] = "INFO Attempting to connect to DataStore..";
constexpr char kEstablished[] = "INFO DataStore connection established";
constexpr char kNotEstablished[] = "ERROR DataStore connection NOT established";

inline std::string systemException(const std::string& operation) {
  return "ERROR CORBA system exception in DataStoreManager::" + operation + "()";
}

// The lines of a call to `operation` that failed with a system exception, after which the
// manager asked for a fresh session and got one (kEstablished) or did not (kNotEstablished).
inline Lines resetLines(const std::string& operation, const char* outcome) {
  return {systemException(operation), kAttempt, outcome};
}

}  // namespace qmr_test

#endif  // QMR_TEST_MANAGERLINES_H
