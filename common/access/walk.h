// The one walk over every way the run uses: the configuration and the logs it reads, TMPDIR and
// the archive's target it writes at, the package tool it runs.
//
// A path is walked one component at a time from "/" (a relative one from the working directory's
// own path), each entry held by an O_PATH descriptor before anything is decided on it: it is
// judged on that descriptor's fstat, a link is read from it, a directory is used through it, and
// a file is opened from it (its /proc/self/fd link), so what is judged is what is used and no
// name is looked up again. Every step asks the rule book (rules.h) who may have changed what it
// met; a link is followed where it is met (an absolute target from "/", a relative one from the
// link's directory), and ".." goes back to the directory held before, which must still be what
// the kernel's ".." finds. At most 40 links and 1,024 components, then ELOOP; walks may also
// share a budget of components.
//
// Two policies sit on top:
// - reading: every step runs with the credentials of the choosers found so far
//   (scoped_credentials.h), each of whom must find the same entry; a file is opened only when it
//   is a regular one (a FIFO, device or socket never is), never on a kernel pseudo file system,
//   and only when every chooser may read it. A way another account chose never enters FUSE;
// - writing and running: the walk stops at the first changer that is not the run, and says who.
// Neither enters a FUSE file system another account serves.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/access/rules.h"
#include "common/access/scoped_credentials.h"
#include "common/error.h"
#include "common/file_io.h"

namespace common::access {

inline constexpr const char* kNotRegularFile =
    "the source path is neither a regular file nor a symlink to a regular file";
inline constexpr const char* kChosenByMany =
    "the source path can be changed by more than one other account";
inline constexpr const char* kServedByAnotherAccount =
    "the source path is on a file system another account serves";
// What a read refused as `party` says: "the source path was chosen by another account (uid N),
// which may not read it", or the same of everyone.
std::string chosen_by_text(Party party);

// A file or directory held open, with what fstat said of it then.
struct Opened {
  UniqueFd fd;
  struct stat st;
};

// A bound on the work of many walks together: each component spends one.
struct WorkBudget {
  std::uint64_t components;
};

// What a directory where a file was expected fails with: the not-regular text (a copy), EISDIR
// (a read), or an error of kind kDirectory (a log entry, which is then not selected).
enum class OnDirectory { kNotRegular, kIsADirectory, kSkip };

// The end of a way the run writes at or runs from.
struct End {
  Opened dir;  // O_PATH: the directory the last component is in
  Writers dir_writers;
  std::string dir_path;         // absolute, with no link, "." or ".." left
  std::string name;             // the last component (a followed link's target's)
  bool as_directory = false;    // the path ended in "/": it names a directory
  std::optional<Opened> entry;  // what is there (O_PATH), where asked and there is something
  Writers entry_writers;
  std::optional<Changer> changer;  // the first who is not the run and may change the way
};

class Walk {
 public:
  // A reading walk that starts with `choosers`, those who chose where it is to look.
  explicit Walk(Parties choosers = {}) : choosers_(std::move(choosers)) {}
  Walk(Walk&&) = default;

  // A walk that goes on from where this one stands, spending from the same budget.
  Walk branch() const;
  // Every component walked (by this walk and its branches) also spends from `budget`.
  void spend_from(WorkBudget* budget) { budget_ = budget; }

  // Reading: the directory `path` names (relative to the working directory unless absolute),
  // listable or only to open entries in (O_PATH, searched by the choosers; the walk stands
  // nowhere afterwards).
  Result<Opened> directory(std::string_view path, bool listable);
  // Reading: entry `name` of the directory this walk stands in, or `path`, with links followed:
  // a regular file open for reading.
  Result<Opened> file_at(std::string_view name, OnDirectory on_directory = OnDirectory::kSkip);
  Result<Opened> file(std::string_view path, OnDirectory on_directory = OnDirectory::kNotRegular);

  // Writing and running: the end of the absolute `path`, its last component followed where
  // `follow_last` is set. The walk stops at the first changer that is not the run.
  Result<End> end(std::string_view path, bool follow_last);

  const Parties& choosers() const { return choosers_; }
  // Everyone who may have changed the way so far, the run included.
  const Changers& changers() const { return changers_; }

 private:
  // A directory on the way, as judged when it was entered.
  struct Judged {
    struct stat st;
    Writers writers;
    std::string name;
  };
  // The entry a walk for a file ended on, not yet opened.
  struct Found {
    Opened entry;
    Writers writers;
    std::string name;
  };
  enum class Want { kSearchable, kFile };
  // The run's own rights again when a public call returns.
  struct Release {
    Walk& walk;
    ~Release() { walk.release(); }
  };

  Result<> root();
  Result<> start(std::string_view path);
  Result<> walk_from_start(std::string_view path, Want want);
  Result<> walk(std::string_view path, Want want);
  Result<> step(const std::string& name, Want want);
  Result<> up();
  Result<> enter(Opened dir, const Writers& writers, std::string name);
  void judge(const Changers& changers);
  bool stopped() const { return trusted_ && changer_.has_value(); }
  Result<Opened> look_up(int dir, const char* name, int flags);
  Result<Opened> open_found(OnDirectory on_directory);
  Result<> check_choosers(int dir, const char* name, const Opened& file, const Parties& found_it,
                          bool no_switch);
  Result<> refuse_served(const Opened& opened);
  std::string refused_as(Party party) const;
  void take_credentials();
  void release();

  Parties choosers_;
  Changers changers_;
  bool trusted_ = false;  // writing and running: stop at the first changer not the run
  std::optional<Changer> changer_;
  std::vector<Judged> way_;  // the directories from "/" to the one the walk stands in
  UniqueFd current_;         // the last of them, held
  std::optional<Found> found_;
  WorkBudget* budget_ = nullptr;
  int links_ = 0;
  int components_ = 0;
  std::unique_ptr<ScopedCredentials> held_;
  std::optional<Party> held_for_;
};

}  // namespace common::access
