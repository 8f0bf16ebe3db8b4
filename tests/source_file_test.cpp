#include "common/source_file.h"

#include <unistd.h>

#include <functional>

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
                const std::string got = tu::ok_or_error(Resolver().file(tmp / c.link));
                if (got != c.expected) outcome += std::string(c.link) + ": " + got + "; ";
              }
              return outcome;
            }),
            "");
}

// Who may change a configuration or the way to it: the owners of every link in a chain and
// the writers of every directory passed, of the file's own directory and of the file.
TEST(Resolver, ControllersAreTheWaysLinkOwnersAndWriters) {
  if (::geteuid() != 0) GTEST_SKIP() << "staging files of other accounts needs root (chown)";
  tu::TempDir tmp;
  if (Resolver way; !way.directory(tmp.path(), false) || way.controllers()) {
    GTEST_SKIP() << "the tests' temporary directory " << tmp.path()
                 << " lies where another account may change it";
  }
  constexpr uid_t kService = 1500;
  const std::string service = "1500/1500";
  using Paths = const std::string&;
  const struct {
    const char* name;
    std::function<int(Paths dir, Paths file)> stage;
    bool directory;  // the way to the directory, not to the file
    std::string expected;
  } cases[] = {
      {"root's own", [](Paths, Paths) { return 0; }, false, "own rights"},
      {"the file's owner", [](Paths, Paths f) { return ::chown(f.c_str(), kService, kService); },
       false, service},
      {"its directory's owner",
       [](Paths d, Paths) { return ::chown(d.c_str(), kService, kService); }, false, service},
      {"a directory's own writers are its entries' concern",
       [](Paths d, Paths) { return ::chown(d.c_str(), kService, kService); }, true, "own rights"},
      {"a writable group",
       [](Paths, Paths f) { return ::chown(f.c_str(), 0, 1600) | ::chmod(f.c_str(), 0664); }, false,
       "65534/65534+1600"},
      {"a world-writable directory", [](Paths d, Paths) { return ::chmod(d.c_str(), 0777); }, false,
       "65534/65534"},
      {"a sticky one", [](Paths d, Paths) { return ::chmod(d.c_str(), 01777); }, false,
       "own rights"},
      {"another account's link on the way",
       [](Paths d, Paths) {
         return ::rename(d.c_str(), (d + ".real").c_str()) | ::symlink("etc.real", d.c_str()) |
                ::lchown(d.c_str(), kService, kService);
       },
       true, service},
      {"its link in the middle of root's chain",
       [](Paths d, Paths) {
         const std::string mid = d.substr(0, d.rfind('/')) + "/mid";
         return ::rename(d.c_str(), (d + ".real").c_str()) | ::symlink("mid", d.c_str()) |
                ::symlink("etc.real", mid.c_str()) | ::lchown(mid.c_str(), kService, kService);
       },
       false, service},
  };
  for (const auto& c : cases) {
    const tu::TempDir each(tmp.path());
    // Searchable by all: another account's link lies where that account could have made it.
    ASSERT_EQ(::chmod(each.path().c_str(), 0755), 0);
    const std::string dir = each / "etc";
    const std::string file = dir + "/app.cfg";
    tu::make_dir(dir, 0755);
    tu::write_text(file, "{}", 0644);
    ASSERT_EQ(c.stage(dir, file), 0) << c.name;
    Resolver way;
    const bool found =
        c.directory ? way.directory(dir, false).has_value() : way.file(file).has_value();
    ASSERT_TRUE(found) << c.name;
    EXPECT_EQ(tu::describe(way.controllers()), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace common
