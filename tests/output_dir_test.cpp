#include "common/output_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "common/error.h"
#include "common/path.h"
#include "common/test_seam.h"
#include "tests/test_util.h"

namespace common {
namespace {

TEST(TempDirRule, TmpdirWhenSetEvenEmptyElseSlashTmp) {
  const std::pair<const char*, std::string> cases[] = {
      {nullptr, "/tmp"}, {"", ""}, {"/var/x/", "/var/x/"}};
  for (const auto& [tmpdir, expected] : cases) {
    tu::ScopedEnv env("TMPDIR", tmpdir);
    EXPECT_EQ(temp_dir(), expected);
  }
}

TEST(CreateOutputDir, CreatesOwnerOnlyDirectory) {
  tu::TempDir tmp;
  tu::ScopedUmask umask(022);
  const auto created = create_output_dir_in(tmp.path(), "oskel-data");
  ASSERT_TRUE(created);
  EXPECT_EQ(created->path(), tmp / "oskel-data");
  EXPECT_EQ(tu::mode_of(created->path()), S_IFDIR | 0700);
}

TEST(CreateOutputDir, TrailingSlashIsNotDoubled) {
  tu::TempDir tmp;
  const auto created = create_output_dir_in(tmp.path() + "/", "oskel-data");
  ASSERT_TRUE(created);
  EXPECT_EQ(created->path(), tmp.path() + "/oskel-data");
}

TEST(CreateOutputDir, EmptyTempDirMeansCurrentDirectory) {
  tu::TempDir tmp;
  char old_cwd[4096];
  ASSERT_NE(::getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
  const auto created = create_output_dir_in("", "oskel-data");
  ASSERT_EQ(::chdir(old_cwd), 0);
  ASSERT_TRUE(created);
  EXPECT_EQ(created->path(), "oskel-data");
  EXPECT_TRUE(tu::exists(tmp / "oskel-data"));
}

TEST(CreateOutputDir, AnythingAtThePathIsAlreadyExists) {
  tu::TempDir tmp;
  tu::make_dir(tmp / "d", 0755);
  tu::write_text(tmp / "f", "x");
  tu::make_dir(tmp / "target", 0755);
  tu::make_symlink(tmp / "target", tmp / "l");
  for (const char* name : {"d", "f", "l"}) {
    const auto created = create_output_dir_in(tmp.path(), name);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().display(), "Output directory " + (tmp / name) + " already exists.");
  }
}

// Another account's link is not followed with the run's rights, even to learn that it leads
// nowhere.
TEST(CreateOutputDir, AnotherAccountsDanglingLinkAlreadyExists) {
  if (::geteuid() != 0) GTEST_SKIP() << "staging another account's link needs root (lchown)";
  tu::TempDir tmp;
  tu::make_symlink(tmp / "nowhere", tmp / "oskel-data");
  ASSERT_EQ(::lchown((tmp / "oskel-data").c_str(), 54321, 54321), 0);
  const auto created = create_output_dir_in(tmp.path(), "oskel-data");
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().display(),
            "Output directory " + (tmp / "oskel-data") + " already exists.");
}

TEST(CreateOutputDir, MissingParentAndDanglingLinkAreCreateFailed) {
  tu::TempDir tmp;
  auto created = create_output_dir_in(tmp / "missing", "oskel-data");
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().display(), "Failed to create output directory " +
                                           (tmp / "missing/oskel-data") +
                                           " due to: No such file or directory (os error 2).");
  EXPECT_FALSE(tu::exists(tmp / "missing"));

  tu::make_symlink(tmp / "nowhere", tmp / "oskel-data");
  created = create_output_dir_in(tmp.path(), "oskel-data");
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().display(), "Failed to create output directory " + (tmp / "oskel-data") +
                                           " due to: File exists (os error 17).");
}

TEST(CreateOutputDir, NonUtf8PathIsConversionAndLeavesNothing) {
  tu::TempDir tmp;
  const std::string odd = tmp / "bad\xFF";
  tu::make_dir(odd, 0755);
  const auto created = create_output_dir_in(odd, "oskel-data");
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().display(),
            "Failed to create output directory due to conversion issues.");
  EXPECT_FALSE(tu::exists(odd + "/oskel-data"));
}

// What a test does to the output path between the directory's mkdir and its open.
std::function<void()> at_seam;
const auto kAtSeam = +[](std::string_view point) {
  if (point == "output-dir") at_seam();
};

// Another directory with entries in its place is a black-box case.
TEST(CreateOutputDir, OnlyTheDirectoryAsMadeIsAccepted) {
  const struct {
    const char* scenario;
    std::function<void(const std::string&)> change;
  } cases[] = {
      {"a link in its place",
       [](const std::string& path) {
         ASSERT_EQ(::rename(path.c_str(), (path + ".away").c_str()), 0);
         tu::make_symlink(path + ".away", path);
       }},
      {"its mode changed",
       [](const std::string& path) { ASSERT_EQ(::chmod(path.c_str(), 0755), 0); }},
  };
  for (const auto& c : cases) {
    tu::TempDir tmp;
    at_seam = [&] { c.change(tmp / "oskel-data"); };
    const tu::ScopedValue seam(detail::seam_hook, kAtSeam);
    const auto created = create_output_dir_in(tmp.path(), "oskel-data");
    ASSERT_FALSE(created) << c.scenario;
    EXPECT_EQ(created.error().display(), "Failed to create output directory " +
                                             (tmp / "oskel-data") +
                                             " due to: " + kNotMadeByThisRun + ".")
        << c.scenario;
  }
}

// An open that fails right after the directory is made (here: a run that is not root, whose
// new directory loses its permissions) leaves nothing that would stop the next run.
TEST(CreateOutputDir, FailureAfterMkdirRemovesTheEmptyDirectory) {
  std::string why_not;
  const std::string base = tu::base_reachable_by_nobody(why_not);
  if (base.empty()) GTEST_SKIP() << "no directory the user nobody can reach: " << why_not;
  tu::TempDir tmp(base);
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0777), 0);
  const std::string outcome = tu::in_child([&]() -> std::string {
    if (!tu::drop_to_nobody()) return "cannot drop to nobody";
    at_seam = [&] { ::chmod((tmp / "oskel-data").c_str(), 0); };
    const tu::ScopedValue seam(detail::seam_hook, kAtSeam);
    const auto created = create_output_dir_in(tmp.path(), "oskel-data");
    if (created) return "accepted";
    if (tu::exists(tmp / "oskel-data")) return "left behind";
    return created.error().display();
  });
  EXPECT_EQ(outcome, "Failed to create output directory " + (tmp / "oskel-data") +
                         " due to: Permission denied (os error 13).");
}

TEST(IsSharedDirectory, AnotherAccountOnTheWayOrAbleToChangeTheDirectory) {
  constexpr uid_t kOther = 54321;
  access::Parties other_link;
  other_link.add(access::Party::account(kOther));
  const struct {
    const char* scenario;
    uid_t owner;
    gid_t group;
    mode_t mode;
    access::Parties way;
    bool shared;
  } cases[] = {
      {"root's own directory", 0, 0, 0755, {}, false},
      {"root's group may write", 0, 0, 0775, {}, true},
      {"another group may write", 0, 100, 0775, {}, true},
      {"everyone may write, sticky (/tmp)", 0, 0, 01777, {}, true},
      {"a service account's own TMPDIR", kOther, kOther, 0700, {}, true},
      {"root's directory behind the service's link", 0, 0, 0700, other_link, true},
  };
  // A directory without an ACL, judged by the modes above.
  const tu::TempDir tmp;
  access::Opened dir{UniqueFd(::open(tmp.path().c_str(), O_PATH | O_CLOEXEC)), {}};
  for (const auto& c : cases) {
    dir.st.st_uid = c.owner;
    dir.st.st_gid = c.group;
    dir.st.st_mode = S_IFDIR | c.mode;
    EXPECT_EQ(access::is_shared_directory(access::Walk(c.way), dir), c.shared) << c.scenario;
  }
}

TEST(OutputPathErrorDisplay, ShowsBadBytesAsReplacementCharacter) {
  EXPECT_EQ(OutputPathError::already_exists("/t\xFF/x").display(),
            "Output directory /t\xEF\xBF\xBD/x already exists.");
}

}  // namespace
}  // namespace common
