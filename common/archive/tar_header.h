// GNU tar headers, written field by field. Numbers are octal, zero-padded, with a trailing
// NUL; values too large for that (uid/gid above 07777777, size/mtime from 2^33) use the
// base-256 form. Each header keeps the entry's whole mode word, owner and time as they are;
// user and group names stay empty.
//
// A file with holes is a sparse member of the old GNU format, as GNU tar writes with --sparse:
// typeflag 'S', the header's size the bytes of data stored, `realsize` the file's size, and a
// map of (offset, length) entries for the data regions, the first four in the header and the
// rest in extension blocks of 21 after it, each block flagging whether another follows. The
// data regions alone follow, back to back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/file_io.h"

namespace common::archive {

inline constexpr std::size_t kBlockSize = 512;

struct TarHeader {
  char name[100];
  char mode[8];
  char uid[8];
  char gid[8];
  char size[12];
  char mtime[12];
  char chksum[8];
  char typeflag;
  char linkname[100];
  char magic[6];
  char version[2];
  char uname[32];
  char gname[32];
  char devmajor[8];
  char devminor[8];
  // The old GNU format's own fields: only a sparse member fills them.
  char atime[12];
  char ctime[12];
  char offset[12];
  char longnames[4];
  char unused;
  char sparse[4][24];  // the map's first entries: offset, then length
  char isextended;     // an extension block follows
  char realsize[12];
  char pad[17];
};
static_assert(sizeof(TarHeader) == kBlockSize);

// The map's entries after the header's four.
struct SparseBlock {
  char sparse[21][24];
  char isextended;  // another extension block follows
  char pad[7];
};
static_assert(sizeof(SparseBlock) == kBlockSize);

// What a member's header says, besides its name.
struct MemberInfo {
  std::uint32_t mode = 0;  // the whole mode word, file-type bits included
  std::uint64_t uid = 0;
  std::uint64_t gid = 0;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
  char typeflag = '0';
  std::uint32_t devmajor = 0;
  std::uint32_t devminor = 0;
};

// Writes `value` into `field`: octal with a trailing NUL, or base-256 (big-endian, high bit
// of the first byte set) when it is at least `octal_limit`. Negative values (a time before
// 1970) are written in base-256 two's complement.
void put_number(std::span<char> field, std::int64_t value, std::uint64_t octal_limit);
void put_unsigned(std::span<char> field, std::uint64_t value, std::uint64_t octal_limit);

// A complete header block for `name` (at most 100 bytes are stored).
TarHeader make_header(std::string_view name, const MemberInfo& info);

// The longest prefix of `name` of at most 100 bytes that ends on a whole UTF-8 character.
std::string_view header_name_prefix(std::string_view name);

// The header blocks for a member: the "././@LongLink" member for a name over 100 bytes (its
// header and the name's data blocks), then the member's own header.
std::string member_header_blocks(std::string_view name, const MemberInfo& info);

// The same for a sparse member of a file of `real_size` bytes whose data lies in `regions`
// (in order, not touching, within the size); `info`'s size and type are set from them. A file
// that ends in a hole gets a last, empty entry at its end, as GNU tar writes: GNU tar takes the
// extracted file's size from that entry.
std::string sparse_member_header_blocks(std::string_view name, MemberInfo info,
                                        std::span<const DataRegion> regions,
                                        std::uint64_t real_size);

}  // namespace common::archive
