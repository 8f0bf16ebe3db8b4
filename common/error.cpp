#include "common/error.h"

#include <cerrno>
#include <cstring>

namespace common {

Error Error::from_errno(int errnum) {
  return from_errno(errnum, errnum == EEXIST ? ErrorKind::kAlreadyExists : ErrorKind::kOther);
}

Error Error::from_errno(int errnum, ErrorKind kind) {
  char buffer[256];
  // GNU strerror_r: returns a pointer to the text, which may or may not be `buffer`.
  const char* description = strerror_r(errnum, buffer, sizeof buffer);
  return Error(std::string(description) + " (os error " + std::to_string(errnum) + ")", kind,
               errnum);
}

}  // namespace common
