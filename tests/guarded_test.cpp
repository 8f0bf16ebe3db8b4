#include "common/guarded.h"

#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common {
namespace {

TEST(Guarded, WhateverAStageThrowsBecomesItsFailure) {
  const auto text_of = [](auto stage) { return tu::ok_or_error(guarded(stage)); };
  EXPECT_EQ(text_of([]() -> Result<> { return {}; }), "ok");
  EXPECT_EQ(text_of([]() -> Result<> { throw std::bad_alloc(); }), "std::bad_alloc");
  EXPECT_EQ(text_of([]() -> Result<> { throw std::runtime_error("disk on fire"); }),
            "disk on fire");
  EXPECT_EQ(text_of([]() -> Result<> { throw 42; }), "unknown error");
}

}  // namespace
}  // namespace common
