#include "common/error.h"

#include <cerrno>
#include <cstring>

namespace common {

namespace {

ErrorKind kind_of(int errnum) {
  switch (errnum) {
    case ENOENT:
      return ErrorKind::kNotFound;
    case EACCES:
    case EPERM:
      return ErrorKind::kPermissionDenied;
    case EEXIST:
      return ErrorKind::kAlreadyExists;
    case EINVAL:
      return ErrorKind::kInvalidInput;
    case ETIMEDOUT:
      return ErrorKind::kTimedOut;
    default:
      return ErrorKind::kOther;
  }
}

}  // namespace

std::string os_error_text(int errnum) {
  char buffer[256];
  // GNU strerror_r: returns a pointer to the text, which may or may not be `buffer`.
  const char* description = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

Error Error::from_errno(int errnum) { return Error(kind_of(errnum), os_error_text(errnum)); }

}  // namespace common
