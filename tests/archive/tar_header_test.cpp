#include "common/archive/tar_header.h"

#include <cstring>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace common::archive {
namespace {

std::string field(const char* data, std::size_t size) { return std::string(data, size); }

TEST(TarNumbers, OctalWithTrailingNulAndBase256Beyond) {
  char eight[8];
  put_unsigned(eight, 0644, 07777777 + 1);
  EXPECT_EQ(field(eight, 8), std::string("0000644\0", 8));
  put_unsigned(eight, 2097151, 07777777 + 1);
  EXPECT_EQ(field(eight, 8), std::string("7777777\0", 8));
  put_unsigned(eight, 2097152, 07777777 + 1);
  EXPECT_EQ(field(eight, 8), std::string("\x80\0\0\0\0\x20\0\0", 8));

  char twelve[12];
  const std::uint64_t limit = 1ULL << 33;
  put_unsigned(twelve, limit - 1, limit);
  EXPECT_EQ(field(twelve, 12), std::string("77777777777\0", 12));
  put_unsigned(twelve, limit, limit);
  EXPECT_EQ(field(twelve, 12), std::string("\x80\0\0\0\0\0\0\x02\0\0\0\0", 12));
  put_number(twelve, -1, limit);
  EXPECT_EQ(field(twelve, 12), std::string(12, '\xff'));
}

TEST(TarHeader, EveryFieldOfARegularFile) {
  MemberInfo info;
  info.mode = 0100644;
  info.uid = 1000;
  info.gid = 100;
  info.size = 513;
  info.mtime = 1700000000;
  info.typeflag = '0';
  const TarHeader header = make_header("oskel-data/osInfo.txt", info);
  const char* bytes = reinterpret_cast<const char*>(&header);

  EXPECT_EQ(field(bytes, 22), std::string("oskel-data/osInfo.txt\0", 22));
  EXPECT_EQ(field(bytes + 100, 8), std::string("0100644\0", 8));
  EXPECT_EQ(field(bytes + 108, 8), std::string("0001750\0", 8));
  EXPECT_EQ(field(bytes + 116, 8), std::string("0000144\0", 8));
  EXPECT_EQ(field(bytes + 124, 12), std::string("00000001001\0", 12));
  EXPECT_EQ(field(bytes + 136, 12), std::string("14524770400\0", 12));
  EXPECT_EQ(bytes[156], '0');
  EXPECT_EQ(field(bytes + 157, 100), std::string(100, '\0'));
  EXPECT_EQ(field(bytes + 257, 8), std::string("ustar  \0", 8));
  EXPECT_EQ(field(bytes + 265, 64), std::string(64, '\0'));
  EXPECT_EQ(field(bytes + 329, 16), std::string("0000000\0"
                                                "0000000\0",
                                                16));
  EXPECT_EQ(field(bytes + 345, 167), std::string(167, '\0'));

  // The checksum counts its own field as blanks.
  unsigned sum = 0;
  for (std::size_t i = 0; i < 512; ++i) {
    sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(bytes[i]);
  }
  char expected[8];
  std::snprintf(expected, sizeof expected, "%07o", sum);
  EXPECT_EQ(field(bytes + 148, 8), std::string(expected, 7) + '\0');
}

TEST(TarHeader, DirectoryAndDeviceFields) {
  MemberInfo dir;
  dir.mode = 040755;
  dir.typeflag = '5';
  const TarHeader dir_header = make_header("oskel-data/", dir);
  EXPECT_EQ(field(dir_header.mode, 8), std::string("0040755\0", 8));
  EXPECT_EQ(dir_header.typeflag, '5');

  MemberInfo device;
  device.mode = 020666;
  device.typeflag = '3';
  device.devmajor = 1;
  device.devminor = 3;
  const TarHeader device_header = make_header("oskel-data/null", device);
  EXPECT_EQ(field(device_header.devmajor, 8), std::string("0000001\0", 8));
  EXPECT_EQ(field(device_header.devminor, 8), std::string("0000003\0", 8));
}

TEST(TarHeader, HugeIdsAndSizesUseBase256) {
  MemberInfo info;
  info.uid = 4000000000u;
  info.size = 10ULL << 30;
  const TarHeader header = make_header("x", info);
  EXPECT_EQ(static_cast<unsigned char>(header.uid[0]), 0x80);
  EXPECT_EQ(field(header.uid + 4, 4), std::string("\xEE\x6B\x28\x00", 4));
  EXPECT_EQ(static_cast<unsigned char>(header.size[0]), 0x80);
  EXPECT_EQ(field(header.size + 7, 5), std::string("\x02\x80\0\0\0", 5));
}

// A 12-byte number field: eleven octal digits and a NUL.
std::string octal(std::uint64_t value) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%011llo", static_cast<unsigned long long>(value));
  return std::string(digits, 12);
}

struct SparseCase {
  std::string name;
  std::uint64_t real_size;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> map;  // offset, length: as written
  std::vector<char> continued;  // the "is extended" flag of the header, then of each block
};

// A map of `entries` entries: regions a page apart, the last one reaching the end of the file
// or, `ends_in_hole`, followed by a hole and the last, empty entry.
SparseCase filled(std::size_t entries, bool ends_in_hole, std::vector<char> continued) {
  SparseCase c{std::to_string(entries) + (ends_in_hole ? " ending in a hole" : ""),
               0,
               {},
               std::move(continued)};
  const std::size_t regions = entries - (ends_in_hole ? 1 : 0);
  for (std::uint64_t i = 0; i < regions; ++i) c.map.emplace_back(4096 * i + 1000, i + 1);
  c.real_size = c.map.back().first + c.map.back().second;
  if (ends_in_hole) {
    c.real_size += 4096;
    c.map.emplace_back(c.real_size, 0);
  }
  return c;
}

// The map's first four entries are in the header, the rest in extension blocks of 21; each
// says whether another block follows, the last one that none does.
TEST(SparseMembers, MapInTheHeaderThenInExtensionBlocks) {
  const SparseCase cases[] = {
      {"one region after a hole", 4196, {{4096, 100}}, {0}},
      {"four", 25, {{0, 1}, {8, 1}, {16, 1}, {24, 1}}, {0}},
      {"five", 35, {{0, 1}, {8, 1}, {16, 1}, {24, 1}, {32, 3}}, {1, 0}},
      {"hole at the end: a last, empty entry", 4096, {{0, 512}, {4096, 0}}, {0}},
      filled(4, true, {0}),
      filled(5, true, {1, 0}),
      filled(25, false, {1, 0}),
      filled(25, true, {1, 0}),
      filled(26, false, {1, 1, 0}),
      filled(46, false, {1, 1, 0}),
      filled(46, true, {1, 1, 0}),
      filled(47, false, {1, 1, 1, 0}),
      filled(47, true, {1, 1, 1, 0}),
  };
  for (const auto& c : cases) {
    std::vector<DataRegion> regions;
    std::uint64_t stored = 0;
    for (const auto& [offset, length] : c.map) {
      if (length > 0) regions.push_back({offset, offset + length});
      stored += length;
    }
    const std::string blocks = sparse_member_header_blocks("a.log", {}, regions, c.real_size);
    ASSERT_EQ(blocks.size(), 512 * c.continued.size()) << c.name;
    EXPECT_EQ(blocks[156], 'S') << c.name;
    EXPECT_EQ(blocks.substr(124, 12), octal(stored)) << c.name;
    EXPECT_EQ(blocks.substr(483, 12), octal(c.real_size)) << c.name;
    // Each block's entries and flag: the header's at 386 and 482, a block's at 0 and 504.
    std::size_t next = 0;
    for (std::size_t block = 0; block < c.continued.size(); ++block) {
      const std::size_t at = block == 0 ? 386 : 512 * block, room = block == 0 ? 4 : 21;
      std::string entries;
      for (; next < c.map.size() && entries.size() < room * 24; ++next) {
        entries += octal(c.map[next].first) + octal(c.map[next].second);
      }
      entries.resize(room * 24, '\0');
      EXPECT_EQ(blocks.substr(at, room * 24), entries) << c.name << ", block " << block;
      EXPECT_EQ(blocks[at + room * 24], c.continued[block]) << c.name << ", block " << block;
    }
    EXPECT_EQ(next, c.map.size()) << c.name;
  }
}

TEST(LongNames, HundredBytesFitAndLongerGetALongLinkMember) {
  MemberInfo info;
  info.mode = 0100600;
  const std::string exactly(100, 'n');
  std::string blocks = member_header_blocks(exactly, info);
  ASSERT_EQ(blocks.size(), 512u);
  EXPECT_EQ(blocks.substr(0, 100), exactly);  // no NUL room needed

  const std::string longer(101, 'n');
  blocks = member_header_blocks(longer, info);
  ASSERT_EQ(blocks.size(), 3 * 512u);
  EXPECT_EQ(blocks.substr(0, 14), std::string("././@LongLink\0", 14));
  EXPECT_EQ(blocks.substr(100, 8), std::string("0000644\0", 8));
  EXPECT_EQ(blocks.substr(108, 16), std::string("0000000\0"
                                                "0000000\0",
                                                16));
  EXPECT_EQ(blocks.substr(124, 12), std::string("00000000146\0", 12));  // 102
  EXPECT_EQ(blocks.substr(136, 12), std::string("00000000000\0", 12));
  EXPECT_EQ(blocks[156], 'L');
  EXPECT_EQ(blocks.substr(512, 102), longer + '\0');
  EXPECT_EQ(blocks.substr(614, 410), std::string(410, '\0'));
  EXPECT_EQ(blocks.substr(1024, 100), longer.substr(0, 100));

  // A 511-byte name plus its NUL fills exactly one data block.
  EXPECT_EQ(member_header_blocks(std::string(511, 'n'), info).size(), 3 * 512u);
  EXPECT_EQ(member_header_blocks(std::string(512, 'n'), info).size(), 4 * 512u);
}

TEST(LongNames, HeaderPrefixEndsOnAWholeCharacter) {
  // 99 ASCII bytes then a 2-byte character: byte 100 would split it.
  const std::string name = std::string(99, 'a') + "\xC3\xA9" + "tail";
  EXPECT_EQ(header_name_prefix(name), std::string(99, 'a'));
  const std::string euro = std::string(98, 'a') + "\xE2\x82\xAC" + "z";
  EXPECT_EQ(header_name_prefix(euro), std::string(98, 'a'));
  const std::string fits = std::string(98, 'a') + "\xC3\xA9" + "z";
  EXPECT_EQ(header_name_prefix(fits), std::string(98, 'a') + "\xC3\xA9");
}

}  // namespace
}  // namespace common::archive
