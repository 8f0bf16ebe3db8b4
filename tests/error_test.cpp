#include "common/error.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(OsErrorText, IsStrerrorAndTheNumber) {
  EXPECT_EQ(os_error(ENOENT).error().text(), "No such file or directory (os error 2)");
  EXPECT_EQ(Error::from_errno(EISDIR).text(), "Is a directory (os error 21)");
  // Callers decide on EEXIST only; the rest is one kind.
  EXPECT_EQ(Error::from_errno(EEXIST).kind(), ErrorKind::kAlreadyExists);
  EXPECT_EQ(Error::from_errno(ENOENT).kind(), ErrorKind::kOther);
}

}  // namespace
}  // namespace common
