#include "common/archive/tar_header.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace common::archive {

namespace {

constexpr std::uint64_t kOctal7Limit = 07777777 + 1;  // 8-byte fields
constexpr std::uint64_t kOctal11Limit = 1ULL << 33;   // 12-byte fields (077777777777 + 1)
constexpr std::string_view kLongLinkName = "././@LongLink";

void put_base256(std::span<char> field, std::uint64_t value) {
  for (std::size_t i = field.size(); i-- > 0;) {
    field[i] = static_cast<char>(value & 0xff);
    value >>= 8;
  }
  field[0] = static_cast<char>(static_cast<unsigned char>(field[0]) | 0x80);
}

}  // namespace

void put_unsigned(std::span<char> field, std::uint64_t value, std::uint64_t octal_limit) {
  if (value >= octal_limit) {
    put_base256(field, value);
    return;
  }
  const std::size_t digits = field.size() - 1;
  for (std::size_t i = digits; i-- > 0;) {
    field[i] = static_cast<char>('0' + (value & 7));
    value >>= 3;
  }
  field[digits] = '\0';
}

void put_number(std::span<char> field, std::int64_t value, std::uint64_t octal_limit) {
  if (value < 0) {
    put_base256(field, static_cast<std::uint64_t>(value));
    // Sign-extend over the bytes that the 64-bit value does not reach.
    for (std::size_t i = 0; i + 8 < field.size(); ++i) field[i] = static_cast<char>(0xff);
    return;
  }
  put_unsigned(field, static_cast<std::uint64_t>(value), octal_limit);
}

namespace {

// Fills in the checksum: seven octal digits and a NUL.
void set_checksum(TarHeader& header) {
  std::memset(header.chksum, ' ', sizeof header.chksum);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&header);
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < sizeof header; ++i) sum += bytes[i];
  put_unsigned(header.chksum, sum, kOctal7Limit);
}

// Every field but the checksum.
TarHeader header_fields(std::string_view name, const MemberInfo& info) {
  TarHeader header;
  std::memset(&header, 0, sizeof header);
  std::memcpy(header.name, name.data(), std::min(name.size(), sizeof header.name));
  put_unsigned(header.mode, info.mode, kOctal7Limit);
  put_unsigned(header.uid, info.uid, kOctal7Limit);
  put_unsigned(header.gid, info.gid, kOctal7Limit);
  put_unsigned(header.size, info.size, kOctal11Limit);
  put_number(header.mtime, info.mtime, kOctal11Limit);
  header.typeflag = info.typeflag;
  std::memcpy(header.magic, "ustar ", sizeof header.magic);
  std::memcpy(header.version, " ", sizeof header.version);  // blank, NUL
  put_unsigned(header.devmajor, info.devmajor, kOctal7Limit);
  put_unsigned(header.devminor, info.devminor, kOctal7Limit);
  return header;
}

template <class Block>
void append_block(std::string& blocks, const Block& block) {
  blocks.append(reinterpret_cast<const char*>(&block), sizeof block);
}

// The "././@LongLink" member that carries a name over 100 bytes: its header and the name's
// data blocks. Nothing for a name that fits.
void append_long_link(std::string& blocks, std::string_view name) {
  if (name.size() <= sizeof(TarHeader::name)) return;
  MemberInfo long_link;
  long_link.mode = 0644;
  long_link.size = name.size() + 1;
  long_link.typeflag = 'L';
  append_block(blocks, make_header(kLongLinkName, long_link));
  blocks.append(name);
  // The NUL after the name, then padding to the block size.
  const std::size_t padded = (name.size() + 1 + kBlockSize - 1) / kBlockSize * kBlockSize;
  blocks.append(padded - name.size(), '\0');
}

void put_map_entry(char (&entry)[24], const DataRegion& region) {
  put_unsigned({entry, 12}, region.start, kOctal11Limit);
  put_unsigned({entry + 12, 12}, region.end - region.start, kOctal11Limit);
}

}  // namespace

TarHeader make_header(std::string_view name, const MemberInfo& info) {
  TarHeader header = header_fields(name, info);
  set_checksum(header);
  return header;
}

std::string_view header_name_prefix(std::string_view name) {
  if (name.size() <= sizeof(TarHeader::name)) return name;
  std::size_t cut = sizeof(TarHeader::name);
  // Back up off continuation bytes so the cut falls between characters.
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return name.substr(0, cut);
}

std::string member_header_blocks(std::string_view name, const MemberInfo& info) {
  std::string blocks;
  append_long_link(blocks, name);
  append_block(blocks, make_header(header_name_prefix(name), info));
  return blocks;
}

std::string sparse_member_header_blocks(std::string_view name, MemberInfo info,
                                        std::span<const DataRegion> regions,
                                        std::uint64_t real_size) {
  const bool ends_in_hole = regions.empty() || regions.back().end < real_size;
  const std::size_t entries = regions.size() + (ends_in_hole ? 1 : 0);
  const auto entry = [&](std::size_t i) {
    return i < regions.size() ? regions[i] : DataRegion{real_size, real_size};
  };
  info.typeflag = 'S';
  info.size = 0;
  for (const DataRegion& region : regions) info.size += region.end - region.start;

  std::string blocks;
  append_long_link(blocks, name);
  constexpr std::size_t kInHeader = std::extent_v<decltype(TarHeader::sparse)>;
  constexpr std::size_t kInBlock = std::extent_v<decltype(SparseBlock::sparse)>;
  TarHeader header = header_fields(header_name_prefix(name), info);
  for (std::size_t i = 0; i < std::min(entries, kInHeader); ++i) {
    put_map_entry(header.sparse[i], entry(i));
  }
  header.isextended = entries > kInHeader ? 1 : 0;
  put_unsigned(header.realsize, real_size, kOctal11Limit);
  set_checksum(header);
  append_block(blocks, header);
  for (std::size_t first = kInHeader; first < entries; first += kInBlock) {
    SparseBlock block;
    std::memset(&block, 0, sizeof block);
    for (std::size_t i = 0; i < kInBlock && first + i < entries; ++i) {
      put_map_entry(block.sparse[i], entry(first + i));
    }
    block.isextended = first + kInBlock < entries ? 1 : 0;
    append_block(blocks, block);
  }
  return blocks;
}

}  // namespace common::archive
