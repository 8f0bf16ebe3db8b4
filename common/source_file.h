// Opening the host files the run collects (the configuration, the logs) for reading, safely
// when another account controls the way to them.
//
// A path is resolved one component at a time, from descriptor to descriptor, never by the
// kernel in one go: every link met is read and judged (fs_identity.h) like the entry it is, so
// a link anywhere in a chain, or on the way to a directory, counts with its owner; every step
// after it runs with the rights of whoever steers the way so far, so the kernel checks each
// directory and the file itself as that account. Each step opens only what it looked up: a
// directory with O_NOFOLLOW, compared with the look-up, and a file only when the look-up found
// a regular one: a FIFO, a device or a socket is never opened (opening a device can act on it,
// and a terminal could become the run's controlling one). The file opened, with O_NOCTTY and
// O_NOFOLLOW, must be the one looked up, and not on a kernel pseudo file system, whose files are
// interfaces rather than logs (reading some of them consumes what they hold).
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "common/error.h"
#include "common/file_io.h"
#include "common/fs_identity.h"

namespace common {

inline constexpr const char* kNotRegularFile =
    "the source path is neither a regular file nor a symlink to a regular file";

// A file or directory held open, with what fstat said of it then.
struct Opened {
  UniqueFd fd;
  struct stat st;
};

// What a directory where a file was expected fails with: the not-regular text (a copy), or
// EISDIR (a read).
enum class OnDirectory { kNotRegular, kIsADirectory };

// Resolves paths as described above. It starts with the rights of `steering` and gathers, as
// it goes, who steers the way (the rights its opens use) and who may change what it passed
// through or found (the writers of every directory on the way and of the file itself). One
// resolver follows one way: copy it to follow several from the same point.
class Resolver {
 public:
  explicit Resolver(Steering steering = std::nullopt) : steering_(std::move(steering)) {}

  // The directory `path` names (relative to the working directory unless absolute): listable,
  // or, without `listable`, only to open entries in (search permission suffices).
  Result<Opened> directory(std::string_view path, bool listable);
  // Entry `name` of `dir`, with links followed: a regular file open for reading.
  Result<Opened> file_at(const Opened& dir, std::string_view name,
                         OnDirectory on_directory = OnDirectory::kNotRegular);
  // The file at `path`.
  Result<Opened> file(std::string_view path, OnDirectory on_directory = OnDirectory::kNotRegular);
  // Whether entry `name` of `dir` is a directory once links are followed, looked up with the
  // rights of whoever chose it; false where it cannot be looked up.
  bool is_directory_at(const Opened& dir, std::string_view name);

  const Steering& steering() const { return steering_; }
  // Who may change the way or the file: the steering, the writers of the directories passed
  // through and of what was found.
  Steering controllers() const { return combine(steering_, writers_); }

 private:
  // What the last component must give: a directory to open entries in or to list, or a file to
  // read.
  enum class Want { kSearchable, kListable, kFile };

  Result<Opened> walk(Opened start, std::string_view path, Want want, OnDirectory on_directory);
  Result<Opened> step(const Opened& dir, const std::string& name, Want want,
                      OnDirectory on_directory);
  Result<Opened> follow(const Opened& dir, const std::string& name, Want want,
                        OnDirectory on_directory);
  Result<Opened> open_found(const Opened& dir, const std::string& name, const struct stat& entry,
                            Want want, OnDirectory on_directory);
  Result<Opened> finish_directory(Opened dir, Want want, OnDirectory on_directory);
  Result<Opened> start(std::string_view path);
  Result<Opened> open_at(int dir, const char* name, int flags);

  // The identity switch held across the steps of one resolution (a switch costs a dozen
  // system calls): made when the steering changes, undone when a public call returns. A copy
  // holds none.
  class HeldIdentity {
   public:
    HeldIdentity() = default;
    HeldIdentity(const HeldIdentity&) {}
    HeldIdentity& operator=(const HeldIdentity&) = delete;
    void become(const Steering& steering);
    bool switched() const { return held_ && held_->switched(); }
    void release() { held_.reset(); }

   private:
    std::optional<ScopedFsIdentity> held_;
    Steering for_;
  };
  // Undoes the switch when a public call returns.
  struct Release {
    HeldIdentity& identity;
    ~Release() { identity.release(); }
  };

  HeldIdentity identity_;
  Steering steering_;
  Steering writers_;
  int links_ = 0;
};

}  // namespace common
