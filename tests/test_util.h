// Helpers shared by the unit tests: an RAII temporary directory and small file utilities. Tests
// name them through the short alias `tu`.
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/access/parties.h"
#include "common/error.h"
#include "common/output_dir.h"

namespace testing_util {

// "uid 1500, group 7, everyone" or "none": one comparison checks a whole set of parties.
std::string describe(const common::access::Parties& parties);
// "1500/1600+4,27": uid, gid and supplementary groups.
std::string describe(const common::access::Credentials& credentials);

// "ok" for a success, else the error's display text: one comparison checks both.
template <typename T>
std::string ok_or_error(const common::Result<T>& result) {
  return result ? "ok" : result.error().text();
}

// The PATH every test runs with: a private directory of the basic utilities the tests' shell
// scripts use, and nothing else.
const std::string& hermetic_path();

// A fresh directory under the tests' temporary directory (or under `base`), removed with
// everything in it.
class TempDir {
 public:
  TempDir();
  explicit TempDir(const std::string& base);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets the umask for the lifetime of the object.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

// Gives `variable` (a test seam) `value` for the lifetime of the object, then its old value
// back, also when the test fails half-way.
template <typename T>
class ScopedValue {
 public:
  ScopedValue(T& variable, std::type_identity_t<T> value)
      : variable_(variable), old_(std::exchange(variable, value)) {}
  ~ScopedValue() { variable_ = old_; }
  ScopedValue(const ScopedValue&) = delete;
  ScopedValue& operator=(const ScopedValue&) = delete;

 private:
  T& variable_;
  T old_;
};

// Caps the size of every file the process writes (RLIMIT_FSIZE) at `bytes` for the lifetime of
// the object, with SIGXFSZ ignored as a run ignores it: a write past the cap fails with EFBIG,
// so a fault that writes without end fails its test instead of filling the disk.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes);
  ~ScopedFileSizeLimit();
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  rlimit old_limit_;
  struct sigaction old_action_;
};

// Sets (or, with nullptr, unsets) an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_value_;
  std::string old_value_;
};

// Runs `body` in a forked child and returns what it returned ("" for success), or how the
// child failed: an exception's message, a signal, an exit status. Whatever happens in it, the
// child ends with _exit and never returns into the test framework, so `body` must report
// through its result, not through GoogleTest's assertions.
std::string in_child(const std::function<std::string()>& body);

// Drops the calling process to the user and group nobody (65534), without supplementary
// groups. Meant for a child made by in_child.
bool drop_to_nobody();

// A directory under which the user nobody may create and enter a subdirectory of mode 0777:
// the tests' temporary directory where nobody can reach it (a build tree under /root, mode
// 0700, is out of reach), else TMPDIR, /var/tmp or /tmp. Empty when there is none; then
// `why_not` says what was tried.
std::string base_reachable_by_nobody(std::string& why_not);

// Removes the directory `path` and everything in it, links not followed (a link at `path`
// itself is not removed either).
common::Result<> remove_tree(const std::string& path);

// Set-up steps that throw when they fail, so a test cannot pass on the wrong ground.
void make_dir(const std::string& path, mode_t mode = 0755);
// Makes the directory `path` (mode 0700) and holds it open, as a run holds its output directory.
common::OutputDir make_output_dir(const std::string& path);
void make_symlink(const std::string& target, const std::string& link);
void make_fifo(const std::string& path);
void write_text(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string read_text(const std::string& path);
bool exists(const std::string& path);
mode_t mode_of(const std::string& path);
// Entry names in the order the file system lists them.
std::vector<std::string> listing_order(const std::string& dir);
// The data of one whole gzip member, checked to end exactly where `compressed` does; more than
// 64 MiB of it fails the test.
std::string gunzip(const std::string& compressed);
// Binds a listening Unix socket at `path`; returns its descriptor (closed by the caller).
int make_socket(const std::string& path);

}  // namespace testing_util

namespace tu = testing_util;
