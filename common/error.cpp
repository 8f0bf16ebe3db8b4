#include "common/error.h"

#include <cerrno>
#include <cstring>

namespace common {

std::string os_error_text(int errnum) {
  char buffer[256];
  // GNU strerror_r: returns a pointer to the text, which may or may not be `buffer`.
  const char* description = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

Error Error::from_errno(int errnum) {
  return Error(os_error_text(errnum),
               errnum == EEXIST ? ErrorKind::kAlreadyExists : ErrorKind::kOther);
}

}  // namespace common
