#include "common/access/file_systems.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/file_io.h"

namespace common::access {

namespace {

struct PseudoFileSystem {
  std::uint32_t magic;
  const char* name;
};

// Their magic numbers as the kernel's statfs reports them: every file system whose regular
// files are interfaces to the kernel or a device, where a read can act or consume.
constexpr PseudoFileSystem kPseudoFileSystems[] = {
    {0x9fa0, "procfs"},        {0x62656572, "sysfs"},      {0x64626720, "debugfs"},
    {0x74726163, "tracefs"},   {0x73636673, "securityfs"}, {0x62656570, "configfs"},
    {0x27e0eb, "cgroup"},      {0x63677270, "cgroup2"},    {0xcafe4a11, "bpf"},
    {0xde5e81e4, "efivarfs"},  {0x6165676c, "pstore"},     {0xf97cff8c, "selinuxfs"},
    {0x43415d53, "smackfs"},   {0x5a3c69f0, "apparmorfs"}, {0x42494e4d, "binfmt_misc"},
    {0x6e736673, "nsfs"},      {0x67596969, "rpc_pipefs"}, {0x6e667364, "nfsd"},
    {0x65735543, "fusectl"},   {0x19800202, "mqueue"},     {0xabba1974, "xenfs"},
    {0x9fa1, "openpromfs"},    {0x9fa2, "usbdevfs"},       {0x6f70726f, "oprofilefs"},
    {0xa647361, "functionfs"}, {0xaee71ee7, "gadgetfs"},
};

constexpr std::uint32_t kFuseMagic = 0x65735546;
// A mount table larger than this is not read whole: statfs answers instead.
constexpr std::size_t kMaxMountTable = 16 << 20;

// Whether the mount table lists `dev`, and whether as FUSE ("fuse", "fuseblk", "fuse.NAME").
// A line: "ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE OPTIONS".
std::optional<bool> listed_as_fuse(dev_t dev) {
  auto fd = open_for_reading("/proc/self/mountinfo");
  if (!fd) return std::nullopt;
  auto table = read_all(fd->get(), kMaxMountTable);
  if (!table) return std::nullopt;
  // Appended piece by piece: GCC 12 warns wrongly of overlap in a chain of operator+.
  std::string wanted(" ");
  wanted.append(std::to_string(major(dev))).append(":").append(std::to_string(minor(dev)));
  wanted.append(" ");
  std::string_view rest(*table);
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const std::size_t id_end = line.find(' ', line.find(' ') + 1);
    const std::size_t separator = line.find(" - ");
    if (id_end == std::string_view::npos || separator == std::string_view::npos ||
        line.compare(id_end, wanted.size(), wanted) != 0) {
      continue;
    }
    const std::size_t type_begin = separator + 3;
    const std::string_view type = line.substr(type_begin, line.find(' ', type_begin) - type_begin);
    return type == "fuse" || type == "fuseblk" || type.starts_with("fuse.");
  }
  return std::nullopt;
}

}  // namespace

Result<> refuse_pseudo_file(int fd) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return os_error(errno);
  for (const auto& pseudo : kPseudoFileSystems) {
    if (static_cast<std::uint32_t>(fs.f_type) == pseudo.magic) {
      return refuse(std::string("the source path is on a kernel pseudo file system (") +
                    pseudo.name + ")");
    }
  }
  return {};
}

bool on_fuse(dev_t dev, int fd) {
  // A run crosses few mounts: each is looked up once.
  static std::vector<std::pair<dev_t, bool>> known;
  for (const auto& [device, fuse] : known) {
    if (device == dev) return fuse;
  }
  std::optional<bool> fuse = listed_as_fuse(dev);
  if (!fuse) {
    struct statfs fs;
    fuse = ::fstatfs(fd, &fs) == 0 && static_cast<std::uint32_t>(fs.f_type) == kFuseMagic;
  }
  known.emplace_back(dev, *fuse);
  return *fuse;
}

}  // namespace common::access
