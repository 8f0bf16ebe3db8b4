#include "common/archive/archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <utility>

#include <gtest/gtest.h>

#include "common/process.h"
#include "tests/test_util.h"

namespace common::archive {
namespace {

struct Member {
  std::string name;
  char typeflag;
  unsigned long mode;
  std::uint64_t size;
  std::string data;
  std::string header;
};

// Splits a tar stream into members; checks the end blocks and that nothing follows them.
std::vector<Member> parse_tar(const std::string& tar) {
  std::vector<Member> members;
  std::size_t pos = 0;
  EXPECT_EQ(tar.size() % 512, 0u);
  while (pos + 512 <= tar.size()) {
    const std::string header = tar.substr(pos, 512);
    if (header == std::string(512, '\0')) break;
    Member m;
    m.header = header;
    m.name = std::string(header.c_str(), strnlen(header.c_str(), 100));
    m.typeflag = header[156];
    m.mode = std::stoul(header.substr(100, 7), nullptr, 8);
    m.size = std::stoull(header.substr(124, 11), nullptr, 8);
    m.data = tar.substr(pos + 512, m.size);
    if (m.typeflag == 'S') {
      // The header's map (these tests need no extension block) places the data in zeros.
      std::string data =
          std::exchange(m.data, std::string(std::stoull(header.substr(483, 11), nullptr, 8), '\0'));
      for (std::size_t at = 386, stored = 0; at < 482 && header[at] != '\0'; at += 24) {
        const auto length = std::stoull(header.substr(at + 12, 11), nullptr, 8);
        m.data.replace(std::stoull(header.substr(at, 11), nullptr, 8), length,
                       data.substr(std::exchange(stored, stored + length), length));
      }
    }
    pos += 512 + (m.size + 511) / 512 * 512;
    members.push_back(m);
  }
  EXPECT_EQ(tar.size() - pos, 1024u);
  EXPECT_EQ(tar.substr(pos), std::string(1024, '\0'));
  return members;
}

class ArchiveTest : public ::testing::Test {
 protected:
  std::vector<Member> archive_members(HoleLimits limits = {}) {
    const auto archived = archive_output_directory(dir_, "oskel-data", {}, limits);
    if (!archived) {
      ADD_FAILURE() << "archive failed: " << archived.error().text();
      return {};
    }
    EXPECT_EQ(*archived, out_ + ".tar.gz");
    return parse_tar(tu::gunzip(tu::read_text(out_ + ".tar.gz")));
  }

  // Past the largest file of these tests (5 MiB) and their largest archive (2 MiB): a walk that
  // writes without end fails with EFBIG instead of filling the disk.
  const tu::ScopedFileSizeLimit file_size_limit_{8 << 20};
  tu::TempDir tmp_;
  std::string out_ = tmp_ / "oskel-data";
  OutputDir dir_ = tu::make_output_dir(out_);
};

TEST_F(ArchiveTest, EmptyDirectoryIsOneHeaderAndTheEndBlocks) {
  ASSERT_TRUE(archive_output_directory(dir_, "oskel-data"));
  const std::string compressed = tu::read_text(out_ + ".tar.gz");
  EXPECT_EQ(compressed.substr(0, 10), std::string("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10));
  const std::string tar = tu::gunzip(compressed);
  EXPECT_EQ(tar.size(), 1536u);
  EXPECT_EQ(tar.substr(0, 12), std::string("oskel-data/\0", 12));
  EXPECT_EQ(tar[156], '5');
  EXPECT_EQ(tar.substr(100, 8), std::string("0040700\0", 8));
  // CRC-32 and length trailer.
  const auto crc =
      crc32(0, reinterpret_cast<const Bytef*>(tar.data()), static_cast<uInt>(tar.size()));
  const std::string trailer = compressed.substr(compressed.size() - 8);
  std::uint32_t stored_crc = 0, stored_size = 0;
  std::memcpy(&stored_crc, trailer.data(), 4);
  std::memcpy(&stored_size, trailer.data() + 4, 4);
  EXPECT_EQ(stored_crc, crc);
  EXPECT_EQ(stored_size, 1536u);
}

TEST_F(ArchiveTest, MembersFollowInReverseListingOrderWithData) {
  tu::write_text(out_ + "/empty", "", 0600);
  tu::write_text(out_ + "/block", std::string(512, 'b'), 0644);
  tu::write_text(out_ + "/more", std::string(513, 'm'), 0640);
  tu::make_dir(out_ + "/sub", 0750);
  tu::write_text(out_ + "/sub/inner", "inner", 0644);

  const auto members = archive_members();
  std::vector<std::string> expected = {"oskel-data/"};
  auto listed = tu::listing_order(out_);
  for (auto it = listed.rbegin(); it != listed.rend(); ++it) {
    expected.push_back("oskel-data/" + *it);
    if (*it == "sub") expected.push_back("oskel-data/sub/inner");
  }
  std::vector<std::string> names;
  for (const auto& m : members) names.push_back(m.name);
  EXPECT_EQ(names, expected);

  for (const auto& m : members) {
    if (m.name == "oskel-data/empty") {
      EXPECT_EQ(m.size, 0u);
      EXPECT_EQ(m.mode, 0100600u);
    } else if (m.name == "oskel-data/block") {
      EXPECT_EQ(m.data, std::string(512, 'b'));
    } else if (m.name == "oskel-data/more") {
      EXPECT_EQ(m.data, std::string(513, 'm'));
      EXPECT_EQ(m.mode, 0100640u);
    } else if (m.name == "oskel-data/sub") {
      EXPECT_EQ(m.typeflag, '5');
      EXPECT_EQ(m.mode, 040750u);
    }
  }
}

TEST_F(ArchiveTest, LinksAreFollowedAndStoredUnderTheirOwnName) {
  tu::write_text(tmp_ / "outside.txt", "outside", 0604);
  tu::make_symlink(tmp_ / "outside.txt", out_ + "/link.txt");
  const auto members = archive_members();
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[1].name, "oskel-data/link.txt");
  EXPECT_EQ(members[1].typeflag, '0');
  EXPECT_EQ(members[1].mode, 0100604u);
  EXPECT_EQ(members[1].data, "outside");
}

TEST_F(ArchiveTest, FifoAndDeviceAreHeaderOnlyMembers) {
  tu::make_fifo(out_ + "/pipe");
  tu::make_symlink("/dev/null", out_ + "/null");
  std::map<std::string, Member> by_name;
  for (const auto& m : archive_members()) by_name[m.name] = m;
  ASSERT_EQ(by_name.size(), 3u);
  ASSERT_TRUE(by_name.contains("oskel-data/pipe"));
  ASSERT_TRUE(by_name.contains("oskel-data/null"));
  const Member& pipe = by_name["oskel-data/pipe"];
  EXPECT_EQ(pipe.typeflag, '6');
  EXPECT_EQ(pipe.mode, 010644u);
  const Member& null = by_name["oskel-data/null"];
  EXPECT_EQ(null.typeflag, '3');
  EXPECT_EQ(null.size, 0u);
  EXPECT_EQ(std::stoul(null.header.substr(329, 7), nullptr, 8), 1u);
  EXPECT_EQ(std::stoul(null.header.substr(337, 7), nullptr, 8), 3u);
}

TEST_F(ArchiveTest, AlreadyCompressedMembersAreStoredTheTarStreamUnchanged) {
  const std::string zeros(1 << 20, '\0');
  const std::string gzip_like = std::string("\x1f\x8b", 2) + zeros;
  const std::string zstd_like = std::string("\x28\xb5\x2f\xfd", 4) + zeros;
  tu::write_text(out_ + "/agent.log.2.gz", gzip_like);
  tu::write_text(out_ + "/agent.log.3.zst", zstd_like);
  tu::write_text(out_ + "/agent.log", zeros);
  std::map<std::string, std::string> data;
  for (const auto& m : archive_members()) data[m.name] = m.data;
  EXPECT_EQ(data["oskel-data/agent.log.2.gz"], gzip_like);
  EXPECT_EQ(data["oskel-data/agent.log.3.zst"], zstd_like);
  EXPECT_EQ(data["oskel-data/agent.log"], zeros);
  // Two megabytes stored, the plain log and the headers compressed to almost nothing.
  const auto size = tu::read_text(out_ + ".tar.gz").size();
  EXPECT_GT(size, 2 * zeros.size());
  EXPECT_LT(size, 2 * zeros.size() + 32 * 1024);
}

// A file with holes is an ordinary member, its holes stored as zeros, while the zeros so stored
// over the run stay within the budget; past it, a sparse member of its data alone. Either way
// it reads back whole, and a file without holes is an ordinary member whatever the budget.
TEST_F(ArchiveTest, FilesWithHolesAreOrdinaryMembersWithinTheZerosBudget) {
  const std::string sparse = out_ + "/sparse", hole = out_ + "/hole", plain = out_ + "/plain";
  tu::write_text(sparse, "head");
  tu::write_text(hole, "");
  tu::write_text(plain, "plain");
  ASSERT_EQ(::truncate(sparse.c_str(), 5 << 20), 0);
  ASSERT_EQ(::truncate(hole.c_str(), 3 << 20), 0);
  const int fd = ::open(sparse.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "middle", 6, (2 << 20) + 1), 6);
  ::close(fd);
  struct stat st;
  ASSERT_EQ(::stat(sparse.c_str(), &st), 0);
  const std::uint64_t holes =
      (3 << 20) + (5 << 20) - 512 * static_cast<std::uint64_t>(st.st_blocks);
  const struct {
    std::uint64_t budget;
    std::string typeflags;  // of the members with holes, in the archive's order
  } cases[] = {
      {HoleLimits().zeros, "00"},
      {holes, "00"},  // exactly within
      {holes - 1, "0S"},
      {0, "SS"},
  };
  for (const auto& c : cases) {
    std::string typeflags;
    std::map<std::string, std::string> data;
    std::map<std::string, char> type;
    for (const auto& m : archive_members({.zeros = c.budget})) {
      if (m.typeflag != '5' && m.name != "oskel-data/plain") typeflags += m.typeflag;
      data[m.name] = m.data;
      type[m.name] = m.typeflag;
    }
    EXPECT_EQ(typeflags, c.typeflags) << c.budget;
    EXPECT_EQ(type["oskel-data/plain"], '0') << c.budget;
    EXPECT_TRUE(data["oskel-data/sparse"] == tu::read_text(sparse)) << c.budget;
    EXPECT_TRUE(data["oskel-data/hole"] == std::string(3 << 20, '\0')) << c.budget;
    EXPECT_EQ(data["oskel-data/plain"], "plain") << c.budget;
  }
}

// A file with more data regions than the map may hold keeps its largest holes as holes and
// stores the smallest as zeros; what follows them, data and the hole to the end, is all there.
TEST_F(ArchiveTest, MapPastItsCapMergesTheSmallestHoles) {
  constexpr std::uint64_t kPage = 4096;
  const std::string log = out_ + "/agent.log";
  tu::write_text(log, "");
  {
    const UniqueFd fd(::open(log.c_str(), O_WRONLY | O_CLOEXEC));
    // Pages 0, 2, 4, 6 and 8, a hole of ten, pages 19 and 21, then a hole to 6 MiB.
    for (const std::uint64_t page : {0, 2, 4, 6, 8, 19, 21}) {
      const std::string data(kPage, static_cast<char>('a' + page));
      ASSERT_EQ(::pwrite(fd.get(), data.data(), kPage, static_cast<off_t>(page * kPage)), kPage);
    }
    ASSERT_EQ(::ftruncate(fd.get(), 6 << 20), 0);
  }
  const auto members = archive_members({.zeros = 0, .map_entries = 4});
  ASSERT_EQ(members.size(), 2u);
  const Member& m = members[1];
  EXPECT_EQ(m.typeflag, 'S');
  EXPECT_TRUE(m.data == tu::read_text(log));
  // Kept: the hole to the end, that of ten pages and the first of one page, in three regions
  // and the last, empty entry. Stored: the seven pages of data and four of merged holes.
  EXPECT_EQ(m.header.substr(386 + 3 * 24, 24), std::string("00030000000\0"
                                                           "00000000000\0",
                                                           24));
  EXPECT_EQ(m.header[482], '\0');  // no extension block
  EXPECT_EQ(m.size, 11 * kPage);
}

// A file that changes size while it is archived keeps the size its header gave: one that
// shrank is made up with zeros, one that grew is cut, and the members after it stay whole.
TEST_F(ArchiveTest, FileChangingSizeWhileArchivedKeepsTheStreamAligned) {
  const std::string data(1 << 20, 'a');
  const std::string log = out_ + "/agent.log";
  constexpr off_t kLinePastAHole = 4 << 20;
  const struct {
    const char* name;
    std::function<void()> change;
    std::string expected;
    bool line_past_a_hole = false;         // the log has one more line 4 MiB in
    std::uint64_t change_at = 256 * 1024;  // tar bytes written; reports come every 256 KiB
  } cases[] = {
      {"shrinks", [&] { ASSERT_EQ(::truncate(log.c_str(), 300000), 0); },
       data.substr(0, 300000) + std::string(data.size() - 300000, '\0')},
      {"grows", [&] { tu::write_text(log, data + "more"); }, data},
      // copytruncate, once the first region has been read.
      {"emptied after its first region", [&] { ASSERT_EQ(::truncate(log.c_str(), 0), 0); },
       data + std::string(kLinePastAHole + 5 - data.size(), '\0'), true, data.size() + 512},
  };
  for (const auto& c : cases) {
    tu::write_text(log, data);
    if (c.line_past_a_hole) {
      const UniqueFd fd(::open(log.c_str(), O_WRONLY | O_CLOEXEC));
      ASSERT_EQ(::pwrite(fd.get(), "line\n", 5, kLinePastAHole), 5);
    }
    tu::write_text(out_ + "/after", "after");
    // The small member is under one read chunk: the first report past it is from the log.
    bool changed = false;
    const auto archived = archive_output_directory(dir_, "oskel-data", [&](std::uint64_t written) {
      if (written >= c.change_at && !std::exchange(changed, true)) c.change();
    });
    ASSERT_TRUE(changed) << c.name;
    ASSERT_EQ(tu::ok_or_error(archived), "ok") << c.name;
    std::map<std::string, std::string> members;
    for (const auto& m : parse_tar(tu::gunzip(tu::read_text(out_ + ".tar.gz")))) {
      members[m.name] = m.data;
    }
    EXPECT_TRUE(members["oskel-data/agent.log"] == c.expected) << c.name;
    EXPECT_EQ(members["oskel-data/after"], "after") << c.name;
  }
}

// An interrupted archive reached through a link is emptied, the link kept.
// The old archive behind the run's link is replaced, and the half-made new one removed.
TEST_F(ArchiveTest, InterruptedArchiveThroughALinkLeavesNothingBehindIt) {
  const std::string target = tmp_ / "elsewhere.tar.gz";
  tu::write_text(target, "old archive");
  tu::make_symlink(target, out_ + ".tar.gz");
  EXPECT_EQ(tu::in_child([&]() -> std::string {
              prepare_process();
              ::raise(SIGTERM);
              if (archive_output_directory(dir_, "oskel-data")) return "archive finished";
              if (!tu::exists(out_ + ".tar.gz")) return "link removed";
              return tu::exists(target) ? "half-made archive left" : "";
            }),
            "");
}

TEST_F(ArchiveTest, LongNamesRoundTrip) {
  const std::string name = std::string(120, 'l') + ".log";
  tu::write_text(out_ + "/" + name, "long");
  const auto members = archive_members();
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[1].name, "././@LongLink");
  EXPECT_EQ(members[1].data, "oskel-data/" + name + '\0');
  EXPECT_EQ(members[2].name, ("oskel-data/" + name).substr(0, 100));
  EXPECT_EQ(members[2].data, "long");
}

TEST_F(ArchiveTest, FailuresNameTheEntryAndStillEndTheArchive) {
  tu::write_text(out_ + "/a", "a");
  const int socket_fd = tu::make_socket(out_ + "/sock");
  auto archived = archive_output_directory(dir_, "oskel-data");
  ::close(socket_fd);
  EXPECT_EQ(tu::ok_or_error(archived), "oskel-data/sock: socket can not be archived");
  // What was written before the failure is a readable, ended archive.
  tu::gunzip(tu::read_text(out_ + ".tar.gz"));
  ::unlink((out_ + "/sock").c_str());

  tu::make_symlink(tmp_ / "nowhere", out_ + "/dangling");
  EXPECT_EQ(tu::ok_or_error(archive_output_directory(dir_, "oskel-data")),
            "No such file or directory (os error 2)");
}

TEST_F(ArchiveTest, LinkLoopEndsTheWalkWithEloop) {
  tu::make_dir(out_ + "/sub");
  tu::make_symlink("..", out_ + "/sub/up");
  EXPECT_EQ(tu::ok_or_error(archive_output_directory(dir_, "oskel-data")),
            "Too many levels of symbolic links (os error 40)");
}

}  // namespace
}  // namespace common::archive
