#include "tests/test_util.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "common/access/shared_directory.h"
#include "common/file_io.h"
#include "common/path.h"
#include "common/remove_tree.h"

namespace testing_util {

namespace {

// TEST_TMPDIR (CTest sets it inside the build tree), else the build tree's own directory when
// this user may write there, else TMPDIR, else /tmp.
std::string temp_base() {
  if (const char* set = std::getenv("TEST_TMPDIR"); set != nullptr && *set != '\0') return set;
#ifdef OSKEL_TEST_TMPDIR
  if (::access(OSKEL_TEST_TMPDIR, W_OK | X_OK) == 0) return OSKEL_TEST_TMPDIR;
#endif
  if (const char* set = std::getenv("TMPDIR"); set != nullptr && *set != '\0') return set;
  return "/tmp";
}

std::string make_temp_dir(const std::string& prefix) {
  std::string pattern = temp_base() + "/" + prefix + ".XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed in " + temp_base());
  }
  return pattern;
}

// Tests may leave unreadable or read-only directories behind; removal must still proceed.
void make_owner_accessible(const std::string& path) {
  std::error_code error;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, error);
  for (std::filesystem::recursive_directory_iterator it(path, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, error);
    }
  }
}

// Every test runs with PATH set to a directory of its own holding only the few utilities the
// tests' scripts use, so nothing the host has installed (a real rpm, say) or how its PATH is
// set up (an unsearchable entry) can change an outcome.
class HermeticPath {
 public:
  HermeticPath() : dir_(make_temp_dir("oskel_test_path")) {
    for (const char* tool : {"sh", "cat", "head", "ls", "wc", "sleep", "tr", "printf", "env"}) {
      for (const char* bin : {"/usr/bin/", "/bin/"}) {
        const std::string target = std::string(bin) + tool;
        if (::access(target.c_str(), X_OK) == 0) {
          make_symlink(target, dir_ + "/" + tool);
          break;
        }
      }
    }
    ::setenv("PATH", dir_.c_str(), 1);
  }
  ~HermeticPath() { std::filesystem::remove_all(dir_, error_); }
  HermeticPath(const HermeticPath&) = delete;
  HermeticPath& operator=(const HermeticPath&) = delete;

  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::error_code error_;
};

const HermeticPath kHermeticPath;

}  // namespace

const std::string& hermetic_path() { return kHermeticPath.dir(); }

TempDir::TempDir() : path_(make_temp_dir("oskel_test")) {}

TempDir::TempDir(const std::string& base) : path_(base + "/oskel_test.XXXXXX") {
  if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + base);
}

TempDir::~TempDir() {
  make_owner_accessible(path_);
  (void)remove_tree(path_);
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
  const char* old = std::getenv(name_.c_str());
  had_value_ = old != nullptr;
  if (had_value_) old_value_ = old;
  if (value != nullptr) {
    ::setenv(name_.c_str(), value, 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_value_) {
    ::setenv(name_.c_str(), old_value_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

std::string in_child(const std::function<std::string()>& body) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return "pipe2 failed";
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return "fork failed";
  }
  if (child == 0) {
    ::close(report[0]);
    std::string result;
    try {
      result = body();
    } catch (const std::exception& e) {
      result = std::string("exception: ") + e.what();
    } catch (...) {
      result = "unknown exception";
    }
    size_t done = 0;
    while (done < result.size()) {
      const ssize_t n = ::write(report[1], result.data() + done, result.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::_exit(result.empty() ? 0 : 1);
  }
  ::close(report[1]);
  std::string result;
  char buffer[512];
  for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    result.append(buffer, static_cast<size_t>(n));
  }
  ::close(report[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    const std::string signal = "child killed by signal " + std::to_string(WTERMSIG(status));
    return result.empty() ? signal : result + " (" + signal + ")";
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return result.empty() ? "child exited with " + std::to_string(WEXITSTATUS(status)) : result;
  }
  return result;
}

bool drop_to_nobody() {
  return ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
}

std::string base_reachable_by_nobody(std::string& why_not) {
  std::vector<std::string> bases{temp_base()};
  if (const char* set = std::getenv("TMPDIR"); set != nullptr && *set != '\0') bases.push_back(set);
  bases.insert(bases.end(), {"/var/tmp", "/tmp"});
  why_not.clear();
  for (const std::string& base : bases) {
    // The probe is what the test will do: nobody creates a file in a 0777 directory there.
    std::string probe = base + "/oskel_probe.XXXXXX";
    if (::mkdtemp(probe.data()) == nullptr || ::chmod(probe.c_str(), 0777) != 0) {
      why_not += base + ": cannot make a directory there; ";
      continue;
    }
    const std::string result = in_child([&]() -> std::string {
      if (!drop_to_nobody()) return "cannot drop to nobody";
      const std::string file = probe + "/probe";
      const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0) return std::string("nobody cannot write there: ") + std::strerror(errno);
      ::close(fd);
      return "";
    });
    std::error_code ignored;
    std::filesystem::remove_all(probe, ignored);
    if (result.empty()) return base;
    why_not += base + ": " + result + "; ";
  }
  return "";
}

namespace {

// Called right after the failing call, before anything can change errno.
[[noreturn]] void set_up_failed(const char* what, const std::string& path) {
  const int error = errno;
  throw std::runtime_error(what + path + ": " + std::strerror(error));
}

}  // namespace

ScopedFileSizeLimit::ScopedFileSizeLimit(rlim_t bytes) {
  if (::getrlimit(RLIMIT_FSIZE, &old_limit_) != 0) set_up_failed("getrlimit failed", "");
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  if (::sigaction(SIGXFSZ, &ignore, &old_action_) != 0) set_up_failed("sigaction failed", "");
  rlimit capped = old_limit_;
  capped.rlim_cur = std::min(bytes, old_limit_.rlim_max);
  if (::setrlimit(RLIMIT_FSIZE, &capped) != 0) {
    ::sigaction(SIGXFSZ, &old_action_, nullptr);
    set_up_failed("setrlimit failed", "");
  }
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
  ::setrlimit(RLIMIT_FSIZE, &old_limit_);
  ::sigaction(SIGXFSZ, &old_action_, nullptr);
}

common::Result<> remove_tree(const std::string& path) {
  common::UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) return common::os_error(errno);
  return common::remove_tree(dir.get(), AT_FDCWD, path);
}

void make_dir(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0) set_up_failed("cannot make directory ", path);
}

common::OutputDir make_output_dir(const std::string& path) {
  make_dir(path, 0700);
  common::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) set_up_failed("cannot open directory ", path);
  common::access::Walk way;
  auto parent = way.directory(std::string(common::parent_dir(path)), false);
  if (!parent) set_up_failed("cannot open directory ", std::string(common::parent_dir(path)));
  const bool shared = common::access::is_shared_directory(way, *parent);
  return common::OutputDir(path, std::move(fd), std::move(parent->fd), shared);
}

void make_symlink(const std::string& target, const std::string& link) {
  if (::symlink(target.c_str(), link.c_str()) != 0) set_up_failed("cannot make link ", link);
}

void make_fifo(const std::string& path) {
  if (::mkfifo(path.c_str(), 0644) != 0) set_up_failed("cannot make FIFO ", path);
}

void write_text(const std::string& path, const std::string& content, mode_t mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  ::chmod(path.c_str(), mode);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
  return st.st_mode;
}

std::string describe(const common::access::Parties& parties) {
  std::string text;
  for (const common::access::Party& party : parties) {
    if (!text.empty()) text += ", ";
    switch (party.kind) {
      case common::access::Party::Kind::kAccount:
        text += "uid " + std::to_string(party.id);
        break;
      case common::access::Party::Kind::kEveryone:
        text += "everyone";
        break;
    }
  }
  return text.empty() ? "none" : text;
}

std::string describe(const common::access::Credentials& credentials) {
  return std::to_string(credentials.uid) + "/" + std::to_string(credentials.gid);
}

std::vector<std::string> listing_order(const std::string& dir) {
  auto stream = common::DirStream::adopt(
      common::UniqueFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (!stream) throw std::runtime_error("cannot list " + dir);
  std::vector<std::string> names;
  for (;;) {
    auto entry = stream->next();
    if (!entry) throw std::runtime_error("cannot read " + dir);
    if (*entry == nullptr) return names;
    names.emplace_back((*entry)->d_name);
  }
}

std::string gunzip(const std::string& compressed) {
  constexpr std::size_t kGunzipLimit = 64 << 20;
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  std::string out;
  char buffer[65536];
  int code;
  do {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    code = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
    // A few megabytes of zeros deflated are gigabytes: no test's data comes near this.
    if (out.size() > kGunzipLimit) {
      ADD_FAILURE() << "more than " << kGunzipLimit << " bytes in the gzip member";
      break;
    }
  } while (code == Z_OK);
  EXPECT_EQ(code, Z_STREAM_END);
  EXPECT_EQ(stream.avail_in, 0u) << "bytes after the gzip member";
  inflateEnd(&stream);
  return out;
}

int make_socket(const std::string& path) {
  common::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    set_up_failed("cannot bind ", path);
  }
  return fd.release();
}

}  // namespace testing_util
