#include "common/access/walk.h"

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "common/path.h"
#include "common/test_seam.h"
#include "tests/test_util.h"

namespace common::access {
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
    uid_t link_owner, target_owner;
    std::string expected;
  } cases[] = {
      {"to-own", 1500, 1500, "ok"},
      {"to-root", 1500, 0,
       "the source path was chosen by another account (uid 1500), which may "
       "not read it"},
      {"the-runs-own-to-root", 65534, 0, "ok"},  // the run, dropped to nobody
  };
  for (const auto& c : cases) {
    const std::string target = tmp / (std::string(c.link) + ".target");
    tu::write_text(target, "data", 0644);
    tu::make_symlink(target, tmp / c.link);
    // In the link owner's group: an account takes its own files, by uid, not its group's.
    ASSERT_EQ(::chown(target.c_str(), c.target_owner, c.link_owner), 0);
    ASSERT_EQ(::lchown((tmp / c.link).c_str(), c.link_owner, c.link_owner), 0);
  }
  EXPECT_EQ(tu::in_child([&]() -> std::string {
              if (!tu::drop_to_nobody()) return "cannot drop to nobody";
              std::string outcome;
              for (const auto& c : cases) {
                const std::string got = tu::ok_or_error(Walk().file(tmp / c.link));
                if (got != c.expected) outcome += std::string(c.link) + ": " + got + "; ";
              }
              return outcome;
            }),
            "");
}

// Who chose a file or a directory: the owners of every link in a chain and of every directory
// passed into, and everyone where others may write the directory an entry is in. The file's
// owner and a directory's writing group add no one: they act in the owner's name.
TEST(Walk, WhoChoseAWay) {
  if (::geteuid() != 0) GTEST_SKIP() << "staging files of other accounts needs root (chown)";
  tu::TempDir tmp;
  if (Walk way; !way.directory(tmp.path(), false) || !way.choosers().empty()) {
    GTEST_SKIP() << "the tests' temporary directory " << tmp.path()
                 << " lies where another account chose it";
  }
  constexpr uid_t kService = 1500;
  const std::string service = "uid 1500";
  using Paths = const std::string&;
  const struct {
    const char* name;
    std::function<int(Paths dir, Paths file)> stage;
    bool directory;  // the way to the directory, not to the file
    std::string expected;
  } cases[] = {
      {"root's own", [](Paths, Paths) { return 0; }, false, "none"},
      {"the file's owner", [](Paths, Paths f) { return ::chown(f.c_str(), kService, kService); },
       false, "none"},
      {"its directory's owner",
       [](Paths d, Paths) { return ::chown(d.c_str(), kService, kService); }, false, service},
      {"what lies in a directory another account owns is its choice",
       [](Paths d, Paths) { return ::chown(d.c_str(), kService, kService); }, true, service},
      {"a writable group",
       [](Paths d, Paths) { return ::chown(d.c_str(), 0, 1600) | ::chmod(d.c_str(), 0775); }, false,
       "none"},
      {"a world-writable directory", [](Paths d, Paths) { return ::chmod(d.c_str(), 0777); }, false,
       "everyone"},
      {"a sticky one", [](Paths d, Paths) { return ::chmod(d.c_str(), 01777); }, false, "everyone"},
      {"another account's link on the way",
       [](Paths d, Paths) {
         return ::rename(d.c_str(), (d + ".real").c_str()) | ::symlink("etc.real", d.c_str()) |
                ::lchown(d.c_str(), kService, kService);
       },
       true, service},
      {"root's link with a second hard link where a group may write",
       [](Paths d, Paths f) {
         return ::chown(d.c_str(), 0, 1600) | ::chmod(d.c_str(), 0775) |
                ::rename(f.c_str(), (f + ".real").c_str()) | ::symlink("app.cfg.real", f.c_str()) |
                ::link(f.c_str(), (f + ".2").c_str());
       },
       false, "everyone"},
      {"another account's directory in a world-writable one, not sticky: a sibling swapped in",
       [](Paths d, Paths) {
         return ::chown(d.c_str(), kService, kService) |
                ::chmod(std::string(parent_dir(d)).c_str(), 0777);
       },
       true, service + ", everyone"},
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
    Walk way;
    const bool found =
        c.directory ? way.directory(dir, false).has_value() : way.file(file).has_value();
    ASSERT_TRUE(found) << c.name;
    EXPECT_EQ(tu::describe(way.choosers()), c.expected) << c.name;
  }
}

// A walk follows 40 links and 1,024 components, and no more.
TEST(Walk, BoundsLinksAndComponents) {
  tu::TempDir tmp;
  tu::write_text(tmp / "file", "data");
  tu::make_symlink("file", tmp / "chain0");
  for (int i = 1; i <= 40; ++i) {
    tu::make_symlink("chain" + std::to_string(i - 1), tmp / ("chain" + std::to_string(i)));
  }
  std::string dots;
  while (tmp.path().size() + dots.size() < 2000) dots += "./";
  // The components of the directory's own path, "/" aside.
  const int depth = static_cast<int>(std::count(tmp.path().begin(), tmp.path().end(), '/'));
  auto with_components = [&](int n) {
    std::string path = tmp.path() + "/";
    for (int i = depth + 1; i < n; ++i) path += "./";
    return path + "file";
  };
  const std::string eloop = "Too many levels of symbolic links (os error 40)";
  const struct {
    const char* scenario;
    std::string path, expected;
  } cases[] = {
      {"40 links", tmp / "chain39", "ok"},
      {"41 links", tmp / "chain40", eloop},
      {"1,024 components", with_components(1024), "ok"},
      {"1,025 components", with_components(1025), eloop},
      {"a file named as a directory", tmp / "file/", "Not a directory (os error 20)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tu::ok_or_error(Walk().file(c.path)), c.expected) << c.scenario;
  }
}

// Walks that share a budget stop, each at once, when it is spent.
TEST(Walk, WalksSharingABudgetStopWhenItIsSpent) {
  tu::TempDir tmp;
  tu::write_text(tmp / "file", "data");
  const auto components =
      static_cast<std::uint64_t>(std::count(tmp.path().begin(), tmp.path().end(), '/') + 1);
  WorkBudget budget{components + 1};
  Walk way;
  way.spend_from(&budget);
  EXPECT_EQ(tu::ok_or_error(way.branch().file(tmp / "file")), "ok");
  EXPECT_EQ(budget.components, 1u);
  // Spent, and asked again: it stays spent.
  for (int again = 0; again < 2; ++again) {
    EXPECT_EQ(tu::ok_or_error(way.branch().file(tmp / "file")),
              "Too many levels of symbolic links (os error 40)");
    EXPECT_EQ(budget.components, 0u);
  }
}

// What the walk's seam does in the test below.
std::function<void(std::string_view)> at_seam;
void call_at_seam(std::string_view point) { at_seam(point); }

// What is judged is what is used: an entry swapped between its look-up and its use changes
// nothing.
TEST(Walk, AnEntrySwappedAfterItsLookUpIsNotWhatIsRead) {
  tu::TempDir tmp;
  tu::make_dir(tmp / "dir");
  tu::write_text(tmp / "dir/file", "judged");
  tu::write_text(tmp / "other", "swapped in");
  tu::make_dir(tmp / "otherdir");
  tu::write_text(tmp / "otherdir/file", "swapped in");
  tu::make_symlink("dir/file", tmp / "link");
  // A replacement starting with "=" is a regular file of that content; any other, a link.
  const struct {
    const char* scenario;
    std::string entry, path, replacement, expected;
  } cases[] = {
      {"a file swapped for a link", "dir/file", "dir/file", "../other", "judged"},
      {"a file swapped for another file", "dir/file", "dir/file", "=swapped in", "judged"},
      {"a link swapped for another", "link", "link", "other", "judged"},
      {"a directory swapped for a link", "dir", "dir/file", "otherdir", "judged"},
  };
  const tu::ScopedValue seam(detail::seam_hook, &call_at_seam);
  // In a directory of the run's, and in a sticky one everyone may write, where everyone chose.
  for (const mode_t mode : {0755, 01777}) {
    ASSERT_EQ(::chmod(tmp.path().c_str(), mode), 0);
    for (const auto& c : cases) {
      const std::string entry = tmp / c.entry, aside = entry + ".aside";
      at_seam = [&](std::string_view point) {
        if (point != "resolve:" + std::string(base_name(c.entry))) return;
        const bool file = c.replacement.starts_with('=');
        if (::rename(entry.c_str(), aside.c_str()) != 0 ||
            (file ? (tu::write_text(entry, c.replacement.substr(1)), 0)
                  : ::symlink(c.replacement.c_str(), entry.c_str())) != 0) {
          throw std::runtime_error("cannot swap " + entry);
        }
      };
      auto opened = Walk().file(tmp / c.path);
      auto content = opened ? read_all(opened->fd.get(), 100) : std::unexpected(opened.error());
      EXPECT_EQ(content ? *content : content.error().text(), c.expected) << c.scenario << mode;
      ASSERT_EQ(::unlink(entry.c_str()) | ::rename(aside.c_str(), entry.c_str()), 0);
    }
  }
}

// What the choosers may not read themselves is refused, however the run came to open it.
TEST(Walk, RefusesWhatItsChoosersMayNotRead) {
  if (::geteuid() != 0) GTEST_SKIP() << "staging files of other accounts needs root (chown)";
  std::string why_not;
  const std::string base = tu::base_reachable_by_nobody(why_not);
  if (base.empty()) GTEST_SKIP() << "no directory the user nobody can reach: " << why_not;
  tu::TempDir tmp(base);
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0755), 0);
  const std::string open_dir = tmp / "open", nobodys = tmp / "nobodys";
  tu::make_dir(open_dir);
  ASSERT_EQ(::chmod(open_dir.c_str(), 0777), 0);
  tu::write_text(open_dir + "/f", "root's", 0600);
  tu::write_text(nobodys, "nobody's", 0600);
  ASSERT_EQ(::chown(nobodys.c_str(), kUnheldUid, kUnheldGid), 0);
  tu::make_symlink(nobodys, open_dir + "/l");
  tu::write_text(tmp / "nobodys-in-0", "nobody's", 0600);
  ASSERT_EQ(::chown((tmp / "nobodys-in-0").c_str(), kUnheldUid, 0), 0);
  tu::make_symlink(tmp / "nobodys-in-0", open_dir + "/m");
  // Sticky, and its group may write: nobody chose root's file there until a hard link is made.
  const std::string group_dir = tmp / "group";
  tu::make_dir(group_dir);
  ASSERT_EQ(::chown(group_dir.c_str(), 0, 1600) | ::chmod(group_dir.c_str(), 01775), 0);
  tu::write_text(group_dir + "/f", "root's", 0600);
  // A directory only the unheld group may search, holding a file anyone may read.
  tu::make_dir(tmp / "unheld", 0750);
  tu::write_text(tmp / "unheld/f", "group's", 0644);
  ASSERT_EQ(::chown((tmp / "unheld").c_str(), 0, kUnheldGid), 0);
  tu::make_symlink(tmp / "unheld/f", open_dir + "/d");
  const std::string refused = chosen_by_text(Party::everyone());
  const struct {
    const char* scenario;
    std::string path;
    std::function<void()> at_look_up;
  } cases[] = {
      {"a hard link made between the look-up and the open", open_dir + "/f",
       [&] { ::link((open_dir + "/f").c_str(), (open_dir + "/f2").c_str()); }},
      {"the same in a sticky directory its group may write", group_dir + "/f",
       [&] { ::link((group_dir + "/f").c_str(), (group_dir + "/f2").c_str()); }},
      {"the unheld uid's file, reached as everyone", open_dir + "/l", [] {}},
      {"the unheld uid's file of another group", open_dir + "/m", [] {}},
      {"a directory of the unheld group on the way", open_dir + "/d", [] {}},
  };
  const tu::ScopedValue seam(detail::seam_hook, &call_at_seam);
  for (const auto& c : cases) {
    at_seam = [&](std::string_view point) {
      if (point == "resolve:" + std::string(base_name(c.path))) c.at_look_up();
    };
    const auto opened = Walk().file(c.path);
    EXPECT_EQ(tu::ok_or_error(opened), refused) << c.scenario;
    EXPECT_EQ(opened ? ErrorKind::kOther : opened.error().kind(), ErrorKind::kRefused);
  }
}

}  // namespace
}  // namespace common::access
