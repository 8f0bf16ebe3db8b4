#include "common/source_file.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common {
namespace {

// Without the right to switch identities, another account's link leads only to that account's
// own files: the run must not read for it what it could not read itself.
TEST(OpenSource, WithoutTheRightToSwitchAnotherAccountsLinkReachesOnlyItsFiles) {
  if (::geteuid() != 0) GTEST_SKIP() << "staging another account's link needs root (lchown)";
  std::string why_not;
  const std::string base = tu::base_reachable_by_nobody(why_not);
  if (base.empty()) GTEST_SKIP() << "no directory the user nobody can reach: " << why_not;
  tu::TempDir tmp(base);
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0755), 0);
  const struct {
    const char* link;
    uid_t target_owner;
    std::string expected;
  } cases[] = {
      {"to-own", 1500, "ok"},
      {"to-root", 0, "Permission denied (os error 13)"},
  };
  for (const auto& c : cases) {
    const std::string target = tmp / (std::string(c.link) + ".target");
    tu::write_text(target, "data", 0644);
    tu::make_symlink(target, tmp / c.link);
    ASSERT_EQ(::chown(target.c_str(), c.target_owner, c.target_owner), 0);
    ASSERT_EQ(::lchown((tmp / c.link).c_str(), 1500, 1500), 0);
  }
  EXPECT_EQ(tu::in_child([&]() -> std::string {
              if (!tu::drop_to_nobody()) return "cannot drop to nobody";
              std::string outcome;
              for (const auto& c : cases) {
                const std::string got = tu::ok_or_error(open_source(tmp / c.link));
                if (got != c.expected) outcome += std::string(c.link) + ": " + got + "; ";
              }
              return outcome;
            }),
            "");
}

}  // namespace
}  // namespace common
