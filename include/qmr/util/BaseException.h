// BaseException.h - the base of the appliance's exception classes: where it was thrown
// (file, line), what happened (message) and the name of the exception type.
//
// Values, copyable; thrown by value and caught by reference.
#ifndef QMR_UTIL_BASEEXCEPTION_H
#define QMR_UTIL_BASEEXCEPTION_H

#include <string>

namespace qmr_util {

class BaseException {
 public:
  BaseException(const std::string& file, unsigned int line, const std::string& message,
                const std::string& type);
  BaseException(const BaseException&) = default;
  BaseException& operator=(const BaseException&) = default;
  virtual ~BaseException();

  // The message, as given to the constructor. Valid while the exception lives.
  virtual const char* what() const;
  // "TYPE at FILE:LINE", for example "InitException at DataStoreManager.cc:42". Valid while the
  // exception lives.
  virtual const char* where() const;

  const std::string& file() const { return file_; }
  unsigned int line() const { return line_; }
  const std::string& message() const { return message_; }
  const std::string& type() const { return type_; }

 private:
  std::string file_;
  unsigned int line_;
  std::string message_;
  std::string type_;
  std::string where_;
};

}  // namespace qmr_util

#endif  // QMR_UTIL_BASEEXCEPTION_H
