// BaseException.cc - the base exception of the appliance's libraries.
#include "qmr/util/BaseException.h"

namespace qmr_util {

BaseException::BaseException(const std::string& file, unsigned int line,
                             const std::string& message, const std::string& type)
    : file_(file),
      line_(line),
      message_(message),
      type_(type),
      where_(type + " at " + file + ":" + std::to_string(line)) {}

BaseException::~BaseException() = default;

const char* BaseException::what() const { return message_.c_str(); }
const char* BaseException::where() const { return where_.c_str(); }

}  // namespace qmr_util
