#include "common/access/writers.h"

#include <cstdint>
#include <initializer_list>

#include <gtest/gtest.h>

namespace common::access {
namespace {

struct AclEntry {
  std::uint16_t tag, perm;
  std::uint32_t id;
};

std::vector<std::byte> acl_bytes(const std::vector<AclEntry>& entries, std::uint32_t version = 2) {
  std::vector<std::byte> out;
  const auto put = [&out](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::byte>(value >> (8 * i)));
  };
  put(version, 4);
  for (const AclEntry& entry : entries) {
    put(entry.tag, 2);
    put(entry.perm, 2);
    put(entry.id, 4);
  }
  return out;
}

constexpr std::uint32_t kNone = 0xffffffff;

TEST(Writers, FromModeOwnerGroupAndAcl) {
  // u::rw- and o::r-- around the entries each row varies.
  const auto acl = [](std::initializer_list<AclEntry> middle) {
    std::vector<AclEntry> all{{0x01, 6, kNone}};
    all.insert(all.end(), middle);
    all.push_back({0x20, 4, kNone});
    return acl_bytes(all);
  };
  const std::optional<std::vector<std::byte>> none;
  const struct {
    const char* scenario;
    mode_t mode;
    std::optional<std::vector<std::byte>> acl;
    Writers writers;
  } cases[] = {
      {"0755: the owner alone", 0755, none, {1500, {}, {}, {}, false}},
      {"0775: the owning group", 0775, none, {1500, 1600, {}, {}, false}},
      {"1777: the group and everyone", 01777, none, {1500, 1600, {}, {}, true}},
      {"a named user under a mask that lets it write",
       0664,
       acl({{0x02, 6, 1700}, {0x04, 4, kNone}, {0x10, 6, kNone}}),
       {1500, {}, {1700}, {}, false}},
      {"a named group, and the owning group, under rw-",
       0664,
       acl({{0x04, 6, kNone}, {0x08, 7, 42}, {0x10, 6, kNone}}),
       {1500, 1600, {}, {42}, false}},
      {"the mask takes write from every entry",
       0644,
       acl({{0x02, 7, 1700}, {0x04, 6, kNone}, {0x10, 4, kNone}}),
       {1500, {}, {}, {}, false}},
      {"a version the kernel does not write", 0664, acl_bytes({}, 1), {1500, {}, {}, {}, true}},
      {"a cut entry", 0664, std::vector<std::byte>(10), {1500, {}, {}, {}, true}},
      {"no group entry",
       0664,
       acl_bytes({{0x01, 6, kNone}, {0x20, 4, kNone}}),
       {1500, {}, {}, {}, true}},
      {"an unknown tag", 0664, acl({{0x04, 4, kNone}, {0x40, 6, 7}}), {1500, {}, {}, {}, true}},
      {"an ACL that could not be read (empty)",
       0664,
       std::vector<std::byte>{},
       {1500, {}, {}, {}, true}},
  };
  for (const auto& c : cases) {
    struct stat st {};
    st.st_mode = S_IFDIR | c.mode;
    st.st_uid = 1500;
    st.st_gid = 1600;
    const auto got = c.acl ? writers_from(st, std::span<const std::byte>(*c.acl))
                           : writers_from(st, std::nullopt);
    EXPECT_EQ(got, c.writers) << c.scenario;
  }
}

}  // namespace
}  // namespace common::access
