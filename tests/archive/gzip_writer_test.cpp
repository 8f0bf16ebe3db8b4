#include "common/archive/gzip_writer.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "common/archive/cpu_budget.h"

#include "common/file_io.h"
#include "tests/test_util.h"

namespace common::archive {
namespace {

// What a GzipWriter is given: at `level` when not negative, then `data`, then `zeros` zeros.
struct Step {
  int level;
  std::string data;
  std::uint64_t zeros;
};

class GzipWriterTest : public ::testing::Test {
 protected:
  // The file `steps` make through a GzipWriter of at most `workers` workers, and the data they
  // stand for; `used` is set to the workers it started.
  std::string run(const std::vector<Step>& steps, std::optional<unsigned> workers,
                  std::string* plain = nullptr, unsigned* used = nullptr) {
    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    EXPECT_TRUE(fd.valid());
    {
      GzipWriter gzip(fd.get(), workers);
      for (const Step& step : steps) {
        if (step.level >= 0) {
          EXPECT_TRUE(gzip.set_level(step.level));
        }
        EXPECT_TRUE(gzip.write(step.data));
        EXPECT_TRUE(gzip.write_zeros(step.zeros));
        if (plain != nullptr) *plain += step.data + std::string(step.zeros, '\0');
      }
      EXPECT_TRUE(gzip.finish());
      if (used != nullptr) *used = gzip.workers();
    }
    EXPECT_TRUE(fd.close());
    return tu::read_text(path_);
  }

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
    std::string plain;
    const std::string compressed = run(c.steps, std::nullopt, &plain);
    EXPECT_TRUE(tu::gunzip(compressed) == plain) << c.name;
    EXPECT_LE(compressed.size(), c.at_most) << c.name;
  }
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

// Text-like lines that compress as logs do.
std::string lines(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string text;
  while (text.size() < size) {
    text += "2026-12-08 07:0" + std::to_string(generator() % 10) + " INFO [rpc-" +
            std::to_string(generator() % 16) + "] request " + std::to_string(generator()) +
            " done\n";
  }
  text.resize(size);
  return text;
}

// The stream is cut into blocks by what is written alone: any number of workers, and any
// thread timing, gives the same bytes, across block boundaries, level changes (stored
// stretches) and runs of zeros, with its CRC-32 and length right.
TEST_F(GzipWriterTest, SameBytesWhateverTheWorkers) {
  constexpr std::size_t kBlock = 128 * 1024;
  const std::vector<Step> steps{
      {-1, lines(3 * kBlock + 17, 1), 0},
      {-1, lines(kBlock - 17, 2), 5000},               // a block ends exactly, then zeros
      {0, random_bytes(2 * kBlock + 5, 3), 700},       // stored, zeros of our own
      {-1, "\x1f\x8b", 3 << 20},                       // stored, a long run
      {kDefaultLevel, lines(kBlock / 2, 4), 2 << 20},  // a long run at level 6
      {-1, random_bytes(kBlock + 3, 5), 0},            // incompressible at level 6
      {-1, lines(5 * kBlock, 6), 1},
  };
  std::string plain;
  unsigned used = 0;
  const std::string alone = run(steps, 0, &plain, &used);
  EXPECT_EQ(used, 0u);
  EXPECT_TRUE(tu::gunzip(alone) == plain);
  // The trailer: CRC-32 and length of the whole, little-endian.
  const uLong crc = crc32_z(0, reinterpret_cast<const Bytef*>(plain.data()), plain.size());
  std::string trailer;
  for (const std::uint64_t value : {std::uint64_t{crc}, std::uint64_t{plain.size()}}) {
    for (int i = 0; i < 4; ++i) trailer += static_cast<char>(value >> (8 * i));
  }
  EXPECT_EQ(alone.substr(alone.size() - 8), trailer);
  for (const unsigned workers : {1u, 3u, 8u}) {
    for (int round = 0; round < 3; ++round) {
      EXPECT_TRUE(run(steps, workers, nullptr, &used) == alone) << workers << " workers";
      EXPECT_EQ(used, workers);
    }
  }
}

// Each block is primed with the 32 KiB before it: data that repeats across blocks is stored once
// (each of the 8 blocks would cost the pattern's size again without it).
TEST_F(GzipWriterTest, BlocksSeeTheDataBeforeThem) {
  const std::string pattern = random_bytes(16 * 1024, 7);
  std::string data;
  while (data.size() < 1024 * 1024) data += pattern;
  for (const unsigned workers : {0u, 2u}) {
    const std::string compressed = run({{-1, data, 0}}, workers);
    EXPECT_TRUE(tu::gunzip(compressed) == data);
    EXPECT_LT(compressed.size(), 2 * pattern.size()) << workers << " workers";
  }
}

// A stream under two blocks starts no worker, whatever it may have.
TEST_F(GzipWriterTest, WorkersStartOnlyForTwoBlocksAndMore) {
  unsigned used = 1;
  run({{-1, lines(256 * 1024, 8), 0}}, 4, nullptr, &used);
  EXPECT_EQ(used, 0u);
  run({{-1, lines(256 * 1024 + 1, 8), 0}}, 4, nullptr, &used);
  EXPECT_EQ(used, 4u);
}

// The thread ids of this process.
std::set<std::string> threads() {
  std::set<std::string> ids;
  auto dir = DirStream::adopt(UniqueFd(::open("/proc/self/task", O_RDONLY | O_DIRECTORY)));
  EXPECT_TRUE(dir);
  for (auto entry = dir->next(); entry && *entry != nullptr; entry = dir->next()) {
    if ((*entry)->d_name[0] != '.') ids.insert((*entry)->d_name);
  }
  return ids;
}

// Workers block the run's signals, run at nice 19 and are gone once the writer is, also when
// it ends without finishing (a failed or interrupted archive).
TEST_F(GzipWriterTest, WorkersBlockSignalsRunAtLowestPriorityAndEndWithTheWriter) {
  const auto before = threads();
  std::set<std::string> workers;
  {
    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    GzipWriter gzip(fd.get(), 2);
    ASSERT_TRUE(gzip.write(lines(1 << 20, 9)));
    ASSERT_EQ(gzip.workers(), 2u);
    for (const std::string& id : threads()) {
      if (!before.contains(id)) workers.insert(id);
    }
    ASSERT_EQ(workers.size(), 2u);
    for (const std::string& id : workers) {
      const std::string status = tu::read_text("/proc/self/task/" + id + "/status");
      const auto at = status.find("SigBlk:\t");
      ASSERT_NE(at, std::string::npos);
      const unsigned long long blocked = std::stoull(status.substr(at + 8, 16), nullptr, 16);
      for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ, SIGCHLD}) {
        EXPECT_TRUE(blocked >> (sig - 1) & 1) << "signal " << sig << " reaches worker " << id;
      }
      // The 19th field of stat is the nice value; the command name before it has no spaces. A
      // worker sets it first thing once it runs, which may be a moment after it exists.
      std::string field;
      for (int tries = 0; tries < 500 && field != "19"; ++tries) {
        if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::istringstream stat(tu::read_text("/proc/self/task/" + id + "/stat"));
        for (int i = 0; i < 19; ++i) stat >> field;
      }
      EXPECT_EQ(field, "19") << "worker " << id;
    }
  }
  // Joined; under qemu-user the host thread behind a worker may outlive the join a moment.
  const auto left = [&] {
    const auto now = threads();
    return std::count_if(workers.begin(), workers.end(),
                         [&](const std::string& id) { return now.contains(id); });
  };
  for (int tries = 0; tries < 500 && left() > 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(left(), 0);
}

TEST(CpuBudget, QuotaAndCgroupPath) {
  EXPECT_EQ(quota_cpus("150000", "100000\n"), 2u);
  EXPECT_EQ(quota_cpus("100000", "100000"), 1u);
  EXPECT_EQ(quota_cpus("50000", "100000"), 1u);
  EXPECT_EQ(quota_cpus("max", "100000"), std::nullopt);
  EXPECT_EQ(quota_cpus("-1\n", "100000\n"), std::nullopt);  // v1: no quota
  EXPECT_EQ(quota_cpus("", "100000"), std::nullopt);
  const std::string hybrid = "9:name=systemd:/x\n1:cpu,cpuacct:/box/a\n0::/user.slice/s\n";
  EXPECT_EQ(cgroup_path(hybrid, true), "/user.slice/s");
  EXPECT_EQ(cgroup_path(hybrid, false), "/box/a");
  EXPECT_EQ(cgroup_path("2:cpuacct:/b\n", false), std::nullopt);
  // A cgroup outside the namespace's root is nowhere under /sys/fs/cgroup.
  EXPECT_EQ(cgroup_path("0::/../../other\n", true), std::nullopt);
}

TEST(CpuBudget, AffinityLimits) {
  cpu_set_t old;
  ASSERT_EQ(::sched_getaffinity(0, sizeof old, &old), 0);
  const unsigned all = usable_cpus();
  EXPECT_GE(all, 1u);
  EXPECT_LE(all, static_cast<unsigned>(CPU_COUNT(&old)));
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &old)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(usable_cpus(), 1u);
  ASSERT_EQ(::sched_setaffinity(0, sizeof old, &old), 0);
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
