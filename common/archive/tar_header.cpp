#include "common/archive/tar_header.h"

#include <cstring>

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

}  // namespace

TarHeader make_header(std::string_view name, const MemberInfo& info) {
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
  if (name.size() > sizeof(TarHeader::name)) {
    MemberInfo long_link;
    long_link.mode = 0644;
    long_link.size = name.size() + 1;
    long_link.typeflag = 'L';
    const TarHeader link_header = make_header(kLongLinkName, long_link);
    blocks.append(reinterpret_cast<const char*>(&link_header), sizeof link_header);
    blocks.append(name);
    // The NUL after the name, then padding to the block size.
    const std::size_t padded = (name.size() + 1 + kBlockSize - 1) / kBlockSize * kBlockSize;
    blocks.append(padded - name.size(), '\0');
  }
  const TarHeader header = make_header(header_name_prefix(name), info);
  blocks.append(reinterpret_cast<const char*>(&header), sizeof header);
  return blocks;
}

}  // namespace common::archive
