// Exception.h - the client library's exception classes, on top of qmr_util::BaseException.
//
// qmr_util::Exception is the base of every exception that libqmr_client throws;
// qmr_util::InitException reports that a component could not be initialised (for example no
// data store session at DataStoreManager::init). Both are values, thrown by value, caught by
// reference; a handler for qmr_util::BaseException catches them too.
#ifndef QMR_EXCEPTION_H
#define QMR_EXCEPTION_H

#include <string>

#include "qmr/util/BaseException.h"

namespace qmr_util {

class Exception : public BaseException {
 public:
  Exception(const std::string& file, unsigned int line, const std::string& message,
            const std::string& type)
      : BaseException(file, line, message, type) {}
  Exception(const Exception&) = default;
  ~Exception() override {}
};

class InitException : public Exception {
 public:
  InitException(const std::string& file, unsigned int line, const std::string& message,
                const std::string& type)
      : Exception(file, line, message, type) {}
  InitException(const InitException&) = default;
  ~InitException() override {}
};

}  // namespace qmr_util

#endif  // QMR_EXCEPTION_H
