// libFuzzer target: the tar header writer. The input gives a member's mode, ids, size, time,
// type and device numbers, then its name bytes. Every header must be 512 bytes with a valid
// checksum, every number must read back exactly (octal or base-256), a long name must come
// whole in its "././@LongLink" member, and for a valid UTF-8 name the cut name in the header
// must end on a whole character.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/archive/tar_header.h"
#include "common/utf8.h"

namespace {

using common::archive::kBlockSize;
using common::archive::MemberInfo;
using common::archive::TarHeader;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// A numeric field read back: octal digits up to the NUL, or base-256 (high bit of the first
// byte set), negative when the first byte is 0xff.
std::int64_t number(const char* field, std::size_t width) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(field);
  if ((bytes[0] & 0x80) == 0) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i + 1 < width; ++i) {
      check(bytes[i] >= '0' && bytes[i] <= '7');
      value = value * 8 + (bytes[i] - '0');
    }
    check(bytes[width - 1] == '\0');
    return static_cast<std::int64_t>(value);
  }
  const bool negative = bytes[0] == 0xff;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const unsigned char byte = i == 0 && !negative ? bytes[0] & 0x7f : bytes[0 + i];
    if (i + 8 < width) {
      check(byte == (negative ? 0xff : 0));  // beyond 64 bits: sign bytes only
      continue;
    }
    value = (value << 8) | byte;
  }
  return static_cast<std::int64_t>(value);
}

void check_header(const TarHeader& header) {
  TarHeader blank = header;
  std::memset(blank.chksum, ' ', sizeof blank.chksum);
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < sizeof blank; ++i) sum += reinterpret_cast<unsigned char*>(&blank)[i];
  check(static_cast<std::uint64_t>(number(header.chksum, sizeof header.chksum)) == sum);
}

template <class T>
T take(const std::uint8_t*& data, std::size_t& size) {
  T value{};
  const std::size_t n = std::min(size, sizeof value);
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemberInfo info;
  info.mode = take<std::uint32_t>(data, size);
  info.uid = take<std::uint32_t>(data, size);
  info.gid = take<std::uint32_t>(data, size);
  info.size = take<std::uint64_t>(data, size);
  info.mtime = take<std::int64_t>(data, size);
  info.typeflag = take<char>(data, size);
  info.devmajor = take<std::uint32_t>(data, size);
  info.devminor = take<std::uint32_t>(data, size);
  const std::string_view name(reinterpret_cast<const char*>(data), size);

  const std::string blocks = common::archive::member_header_blocks(name, info);
  check(blocks.size() % kBlockSize == 0 && blocks.size() >= kBlockSize);
  TarHeader header;
  std::memcpy(&header, blocks.data() + blocks.size() - kBlockSize, kBlockSize);
  check_header(header);
  check(static_cast<std::uint32_t>(number(header.mode, 8)) == info.mode);
  check(static_cast<std::uint64_t>(number(header.uid, 8)) == info.uid);
  check(static_cast<std::uint64_t>(number(header.gid, 8)) == info.gid);
  check(static_cast<std::uint64_t>(number(header.size, 12)) == info.size);
  check(number(header.mtime, 12) == info.mtime);
  check(static_cast<std::uint32_t>(number(header.devmajor, 8)) == info.devmajor);
  check(static_cast<std::uint32_t>(number(header.devminor, 8)) == info.devminor);
  check(header.typeflag == info.typeflag);

  const std::string_view stored(header.name, strnlen(header.name, sizeof header.name));
  if (name.size() <= sizeof header.name) {
    check(blocks.size() == kBlockSize);
    check(std::memcmp(header.name, name.data(), name.size()) == 0);
    return 0;
  }
  // The long-name member: its header, then the whole name and a NUL, padded to whole blocks.
  TarHeader link;
  std::memcpy(&link, blocks.data(), kBlockSize);
  check_header(link);
  check(link.typeflag == 'L');
  check(static_cast<std::uint64_t>(number(link.size, 12)) == name.size() + 1);
  check(std::string_view(blocks).substr(kBlockSize, name.size()) == name);
  check(blocks[kBlockSize + name.size()] == '\0');
  check(blocks.size() ==
        kBlockSize * 2 + (name.size() + 1 + kBlockSize - 1) / kBlockSize * kBlockSize);
  check(name.starts_with(stored));
  if (!common::validate_utf8(name)) check(!common::validate_utf8(stored));
  return 0;
}
