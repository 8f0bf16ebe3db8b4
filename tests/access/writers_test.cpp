#include "common/access/writers.h"

#include <array>
#include <cstdint>
#include <initializer_list>

#include <gtest/gtest.h>

namespace common::access {
namespace {

// An access ACL as the kernel stores it: version 2, then (tag, permissions, id) entries, with
// the owner's rw- first and others' r-- last around the entries a row gives.
std::vector<std::byte> acl(std::initializer_list<std::array<std::uint32_t, 3>> entries,
                           std::uint32_t version = 2) {
  std::vector<std::byte> out;
  const auto put = [&out](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::byte>(value >> (8 * i)));
  };
  put(version, 4);
  std::vector<std::array<std::uint32_t, 3>> all{{0x01, 6, ~0u}};
  all.insert(all.end(), entries);
  all.push_back({0x20, 4, ~0u});
  for (const auto& [tag, perm, id] : all) {
    put(tag, 2);
    put(perm, 2);
    put(id, 4);
  }
  return out;
}

TEST(Writers, FromModeOwnerGroupAndAcl) {
  constexpr std::uint32_t kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08, kMask = 0x10;
  const std::optional<std::vector<std::byte>> none;
  const Writers owner_alone{1500, {}, {}, {}, false}, anyone{1500, {}, {}, {}, true};
  const struct {
    const char* scenario;
    mode_t mode;
    std::optional<std::vector<std::byte>> acl;
    Writers writers;
  } cases[] = {
      {"0755: the owner alone", 0755, none, owner_alone},
      {"0775: the owning group", 0775, none, {1500, 1600, {}, {}, false}},
      {"1777: the group and everyone", 01777, none, {1500, 1600, {}, {}, true}},
      {"a named user under a mask that lets it write",
       0664,
       acl({{kUser, 6, 1700}, {kGroupObj, 4, ~0u}, {kMask, 6, ~0u}}),
       {1500, {}, {1700}, {}, false}},
      {"a named group, and the owning group, under rw-",
       0664,
       acl({{kGroupObj, 6, ~0u}, {kGroup, 7, 42}, {kMask, 6, ~0u}}),
       {1500, 1600, {}, {42}, false}},
      {"the mask takes write from every entry", 0644,
       acl({{kUser, 7, 1700}, {kGroupObj, 6, ~0u}, {kMask, 4, ~0u}}), owner_alone},
      {"a version the kernel does not write", 0664, acl({{kGroupObj, 4, ~0u}}, 1), anyone},
      {"a cut entry", 0664, std::vector<std::byte>(10), anyone},
      {"no group entry", 0664, acl({}), anyone},
      {"an unknown tag", 0664, acl({{kGroupObj, 4, ~0u}, {0x40, 6, 7}}), anyone},
      {"an ACL that could not be read (empty)", 0664, std::vector<std::byte>{}, anyone},
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
