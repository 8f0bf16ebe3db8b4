#include "common/guarded.h"

#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(Guarded, WhateverAStageThrowsBecomesItsFailure) {
  const auto text_of = [](auto stage) {
    const Result<> outcome = guarded(stage);
    return outcome ? std::string("ok") : outcome.error().text();
  };
  EXPECT_EQ(text_of([]() -> Result<> { return {}; }), "ok");
  EXPECT_EQ(text_of([]() -> Result<> { throw std::bad_alloc(); }), "std::bad_alloc");
  EXPECT_EQ(text_of([]() -> Result<> { throw std::runtime_error("disk on fire"); }),
            "disk on fire");
  EXPECT_EQ(text_of([]() -> Result<> { throw 42; }), "unknown error");
}

}  // namespace
}  // namespace common
