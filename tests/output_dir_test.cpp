#include "common/output_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/error.h"
#include "common/path.h"
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

TEST(OutputPathErrorDisplay, ShowsBadBytesAsReplacementCharacter) {
  EXPECT_EQ(OutputPathError::already_exists("/t\xFF/x").display(),
            "Output directory /t\xEF\xBF\xBD/x already exists.");
}

}  // namespace
}  // namespace common
