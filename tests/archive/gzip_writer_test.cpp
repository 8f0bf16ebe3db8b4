#include "common/archive/gzip_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "tests/test_util.h"

namespace common::archive {
namespace {

class GzipWriterTest : public ::testing::Test {
 protected:
  // Writes `pieces` one by one through a GzipWriter, each after setting the level `levels`
  // holds at its index (none where it is absent or negative), and yields the file's bytes.
  std::string compress(const std::vector<std::string>& pieces, std::vector<int> levels = {}) {
    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    EXPECT_TRUE(fd.valid());
    levels.resize(pieces.size(), -1);
    {
      GzipWriter gzip(fd.get());
      for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (levels[i] >= 0) {
          EXPECT_TRUE(gzip.set_level(levels[i]));
        }
        EXPECT_TRUE(gzip.write(pieces[i]));
      }
      EXPECT_TRUE(gzip.finish());
    }
    EXPECT_TRUE(fd.close());
    return tu::read_text(path_);
  }

  // Far past what any case writes (a few megabytes stored at level 0): a run of zeros written
  // without end fails with EFBIG instead of filling the disk.
  const tu::ScopedFileSizeLimit file_size_limit_{8 << 20};
  tu::TempDir tmp_;
  std::string path_ = tmp_ / "out.gz";
};

TEST_F(GzipWriterTest, FixedHeaderAndDataThatReadsBack) {
  const std::string compressed = compress({"hello ", "", std::string(300000, 'x'), "end"});
  // Deflate, no flags, time 0, no extra flags, OS 255: the same on every run and host.
  EXPECT_EQ(compressed.substr(0, 10), std::string("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10));
  EXPECT_EQ(tu::gunzip(compressed), "hello " + std::string(300000, 'x') + "end");
  EXPECT_LT(compressed.size(), 2000u);
}

TEST_F(GzipWriterTest, LevelZeroStoresAndTheDefaultCompressesAgain) {
  const std::string zeros(1 << 20, '\0');
  const std::string compressed =
      compress({"header at level 6", zeros, zeros}, {-1, 0, kDefaultLevel});
  EXPECT_EQ(tu::gunzip(compressed), "header at level 6" + zeros + zeros);
  // The first megabyte is stored, the second compressed to almost nothing.
  EXPECT_GT(compressed.size(), zeros.size());
  EXPECT_LT(compressed.size(), zeros.size() + 16 * 1024);
}

TEST_F(GzipWriterTest, LevelSetBeforeTheFirstWriteApplies) {
  const std::string zeros(1 << 20, '\0');
  const std::string compressed = compress({zeros}, {0});
  EXPECT_EQ(tu::gunzip(compressed), zeros);
  EXPECT_GT(compressed.size(), zeros.size());
}

// Runs of zeros go in as DEFLATE blocks of our own between zlib's, at either level: whatever
// their length, bit position and neighbours, the member must stay valid (gunzip checks the
// CRC-32 and the length) and the zeros compressed, at level 0 too.
TEST_F(GzipWriterTest, RunsOfZerosKeepTheStreamValidAtEveryLevel) {
  struct Step {
    int level;  // set before the step where not negative
    std::string data;
    std::uint64_t zeros;  // written after `data`
  };
  constexpr std::uint64_t kMiB = 1 << 20;
  // Runs of every length up to two copies and a half, each after a byte that leaves it at
  // another bit position, at level 0 where every run is a block of our own.
  std::vector<Step> sweep{{0, "", 0}};
  for (std::uint64_t n = 1; n < 650; ++n) sweep.push_back({-1, n % 3 ? "" : "x", n});
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::size_t at_most;
  } cases[] = {
      {"long run between data", {{-1, "head", 3 * kMiB + 5}, {-1, "tail", 0}}, 3300},
      {"short run through zlib", {{-1, "head", 5000}, {-1, "tail", 0}}, 60},
      {"first and last", {{-1, "", kMiB}, {-1, "", kMiB + 1}}, 2200},
      {"after a compressed magic",
       {{0, "\x1f\x8b", 4096}, {-1, "x", 2 * kMiB}, {kDefaultLevel, "", 1000}, {-1, "tail", 0}},
       2300},
      {"level set between runs", {{0, "a", kMiB}, {kDefaultLevel, "", kMiB}, {0, "b", kMiB}}, 3300},
      {"every length and bit position", sweep, 32000},
  };
  for (const auto& c : cases) {
    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.valid());
    std::string plain;
    {
      GzipWriter gzip(fd.get());
      for (const Step& step : c.steps) {
        if (step.level >= 0) {
          EXPECT_TRUE(gzip.set_level(step.level)) << c.name;
        }
        EXPECT_TRUE(gzip.write(step.data)) << c.name;
        EXPECT_TRUE(gzip.write_zeros(step.zeros)) << c.name;
        plain += step.data + std::string(step.zeros, '\0');
      }
      EXPECT_TRUE(gzip.finish()) << c.name;
    }
    EXPECT_TRUE(fd.close());
    const std::string compressed = tu::read_text(path_);
    EXPECT_TRUE(tu::gunzip(compressed) == plain) << c.name;
    EXPECT_LE(compressed.size(), c.at_most) << c.name;
  }
}

TEST_F(GzipWriterTest, NothingWrittenIsAnEmptyMember) { EXPECT_EQ(tu::gunzip(compress({})), ""); }

TEST_F(GzipWriterTest, WriteErrorIsTheOsError) {
  UniqueFd fd(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  GzipWriter gzip(fd.get());
  auto written = gzip.write(std::string(1 << 20, 'y'));
  if (written) written = gzip.finish();
  EXPECT_EQ(tu::ok_or_error(written), "No space left on device (os error 28)");
}

}  // namespace
}  // namespace common::archive
