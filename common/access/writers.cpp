#include "common/access/writers.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

namespace common::access {

namespace {

// The kernel's posix_acl_xattr.h.
constexpr std::uint32_t kAclVersion = 2;
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kEntrySize = 8;
constexpr std::uint16_t kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08,
                        kMask = 0x10, kOther = 0x20;
constexpr std::uint16_t kWrite = 0x02;
// More than any file system stores; a larger value is not an ACL we parse.
constexpr std::size_t kMaxAclSize = 64 * 1024;

std::uint32_t little_endian(std::span<const std::byte> bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) {
    value = (value << 8) | static_cast<std::uint32_t>(bytes[i]);
  }
  return value;
}

struct Entry {
  std::uint16_t tag, perm;
  std::uint32_t id;
};

// The entries, or nullopt where the value is no well-formed access ACL: a known version, whole
// entries of known tags, each object entry once.
std::optional<std::vector<Entry>> parse(std::span<const std::byte> acl) {
  if (acl.size() < kHeaderSize || (acl.size() - kHeaderSize) % kEntrySize != 0 ||
      little_endian(acl.first(kHeaderSize)) != kAclVersion) {
    return std::nullopt;
  }
  std::vector<Entry> entries;
  unsigned seen = 0;
  for (std::size_t at = kHeaderSize; at < acl.size(); at += kEntrySize) {
    const Entry entry{static_cast<std::uint16_t>(little_endian(acl.subspan(at, 2))),
                      static_cast<std::uint16_t>(little_endian(acl.subspan(at + 2, 2))),
                      little_endian(acl.subspan(at + 4, 4))};
    switch (entry.tag) {
      case kUserObj:
      case kGroupObj:
      case kMask:
      case kOther:
        if ((seen & entry.tag) != 0) return std::nullopt;
        seen |= entry.tag;
        break;
      case kUser:
      case kGroup:
        break;
      default:
        return std::nullopt;
    }
    entries.push_back(entry);
  }
  if ((seen & (kUserObj | kGroupObj | kOther)) != (kUserObj | kGroupObj | kOther)) {
    return std::nullopt;
  }
  return entries;
}

// The raw ACL of `fd`: nullopt where it has none, an empty value where it cannot be read. An
// O_PATH descriptor takes no xattr call of its own; its /proc link does, as the process may
// always follow its own descriptors there.
std::optional<std::vector<std::byte>> read_acl(int fd) {
  const char* name = "system.posix_acl_access";
  std::vector<std::byte> value(256);
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  for (;;) {
    ssize_t size = ::fgetxattr(fd, name, value.data(), value.size());
    if (size < 0 && errno == EBADF)
      size = ::getxattr(link.c_str(), name, value.data(), value.size());
    if (size >= 0) {
      value.resize(static_cast<std::size_t>(size));
      return value;
    }
    if (errno == ENODATA || errno == ENOTSUP) return std::nullopt;
    if (errno != ERANGE || value.size() >= kMaxAclSize) return std::vector<std::byte>();
    value.resize(value.size() * 4);
  }
}

}  // namespace

bool Writers::anyone_but(uid_t uid) const {
  return owner != uid || group || everyone || !groups.empty() ||
         std::any_of(users.begin(), users.end(), [uid](uid_t user) { return user != uid; });
}

Writers writers_from(const struct stat& st, std::optional<std::span<const std::byte>> acl) {
  Writers writers;
  writers.owner = st.st_uid;
  writers.everyone = (st.st_mode & S_IWOTH) != 0;
  if (!acl) {
    if ((st.st_mode & S_IWGRP) != 0) writers.group = st.st_gid;
    return writers;
  }
  const auto entries = parse(*acl);
  if (!entries) {
    writers.everyone = true;
    return writers;
  }
  std::uint16_t mask = 07;
  for (const Entry& entry : *entries) {
    if (entry.tag == kMask) mask = entry.perm;
  }
  for (const Entry& entry : *entries) {
    const bool writes = (entry.perm & mask & kWrite) != 0;
    if (entry.tag == kOther && (entry.perm & kWrite) != 0) writers.everyone = true;
    if (!writes) continue;
    if (entry.tag == kGroupObj) writers.group = st.st_gid;
    if (entry.tag == kUser) writers.users.push_back(entry.id);
    if (entry.tag == kGroup) writers.groups.push_back(entry.id);
  }
  return writers;
}

Writers writers_of(int fd, const struct stat& st) {
  // Without a group write bit, neither the owning group nor any named entry may write.
  if ((st.st_mode & S_IWGRP) == 0) return writers_from(st, std::nullopt);
  const auto acl = read_acl(fd);
  if (!acl) return writers_from(st, std::nullopt);
  return writers_from(st, std::span<const std::byte>(*acl));
}

}  // namespace common::access
