#include "common/access/file_systems.h"

#include "common/access/rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/access/writers.h"
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

// What the mount table says of `dev`: nullopt where it does not list it, unknown where it
// cannot be read.
// A line: "ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE SUPER_OPTIONS".
std::optional<FuseServer> listed(dev_t dev) {
  auto fd = open_for_reading("/proc/self/mountinfo");
  auto table = fd ? read_all(fd->get(), kMaxMountTable) : std::unexpected(fd.error());
  if (!table) return FuseServer{false, std::nullopt, true};
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
    // TYPE, SOURCE, SUPER_OPTIONS: no field holds a space (the table escapes them).
    std::string_view fields = line.substr(separator + 3);
    const auto next = [&fields] {
      const std::string_view field = fields.substr(0, fields.find(' '));
      fields.remove_prefix(std::min(field.size() + 1, fields.size()));
      return std::string(field);
    };
    const std::string type = next();
    next();
    const std::string options = next();
    FuseServer server;
    server.fuse = type == "fuse" || type == "fuseblk" || type.starts_with("fuse.");
    const std::size_t user = ("," + options).find(",user_id=");
    if (server.fuse && user != std::string::npos) {
      const char* digits = options.c_str() + user + 8;
      char* after = nullptr;
      const unsigned long long uid = std::strtoull(digits, &after, 10);
      if (after != digits && (*after == ',' || *after == '\0') && uid <= 0xffffffffu) {
        server.uid = static_cast<uid_t>(uid);
      }
    }
    return server;
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

bool FuseServer::another_account() const { return fuse && (!uid || !is_trusted(*uid)); }

FuseServer fuse_server(dev_t dev, int fd) {
  // A run crosses few mounts: each is looked up once.
  static std::vector<std::pair<dev_t, FuseServer>> known;
  for (const auto& [device, server] : known) {
    if (device == dev) return server;
  }
  std::optional<FuseServer> server = listed(dev);
  if (!server) server = FuseServer{statfs_says_fuse(fd), std::nullopt, false};
  known.emplace_back(dev, *server);
  return *server;
}

bool statfs_says_fuse(int fd) {
  struct statfs fs;
  return ::fstatfs(fd, &fs) == 0 && static_cast<std::uint32_t>(fs.f_type) == kFuseMagic;
}

// Kernels before 4.11 have no statx; before 3.6 they cannot fstat an O_PATH descriptor, which
// the empty-path look-up can.
bool stat_held(int fd, struct stat& st) {
  struct statx sx;
  if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, STATX_BASIC_STATS,
              &sx) == 0) {
    st = {};
    st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st.st_ino = sx.stx_ino;
    st.st_mode = sx.stx_mode;
    st.st_nlink = sx.stx_nlink;
    st.st_uid = sx.stx_uid;
    st.st_gid = sx.stx_gid;
    st.st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
    st.st_size = static_cast<off_t>(sx.stx_size);
    st.st_blksize = static_cast<blksize_t>(sx.stx_blksize);
    st.st_blocks = static_cast<blkcnt_t>(sx.stx_blocks);
    st.st_mtim = {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
    st.st_atim = {sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec};
    st.st_ctim = {sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
    return true;
  }
  return ::fstat(fd, &st) == 0 || ::fstatat(fd, "", &st, AT_EMPTY_PATH) == 0;
}

}  // namespace common::access
