// Opening the host files the run collects (the configuration, the logs) for reading, with the
// rights the kernel is sure to give whoever could have chosen them (parties.h).
//
// A path is resolved one component at a time, from descriptor to descriptor, never by the
// kernel in one go. Each entry is held by an O_PATH descriptor before anything is decided on
// it: it is judged on that descriptor's fstat, a link is read from it, a directory is used
// through it, so what is judged is what is used. Whoever chose an entry (a link of another
// account, anything beyond a directory another account owns, ...) joins the way's choosers,
// and every later step runs with the choosers' credentials (scoped_credentials.h), so the
// kernel checks each directory and the file itself as them. A file is opened only when the
// look-up found a regular one (a FIFO, a device or a socket is never opened: opening a device
// can act on it, and a terminal could become the run's controlling one), with O_NOCTTY and
// O_NOFOLLOW; it must be the file looked up, and not on a kernel pseudo file system, whose
// files are interfaces rather than logs. Its hard links are judged again on what was opened.
// Where the choosers are more than one, each of them must be able to open that same file.
// Where another account chose a way into a FUSE file system, the way stops there: the account
// may serve it itself and leave a read unanswered for good. The mount is recognised from the
// mount table before anything in it is looked up, and entries are judged on cached attributes,
// so that no request reaches the file system's server.
//
// A resolution follows at most 40 links and 1,024 components in all, then fails with ELOOP;
// resolutions may also share a budget of components.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/access/parties.h"
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

// A bound on the work of many resolutions together: each component walked spends one, and
// none is walked once it is spent (ELOOP).
struct WorkBudget {
  std::uint64_t components;
};

// What a directory where a file was expected fails with: the not-regular text (a copy), EISDIR
// (a read), or an error of kind kDirectory (a log entry, which is then not selected).
enum class OnDirectory { kNotRegular, kIsADirectory, kSkip };

// Resolves paths as described above. It starts with `choosers` (the parties that chose where it
// is to look, such as a configuration's) and gathers, as it goes, the way's choosers and, for a
// way the run is to write at, whether anyone else may change a directory it passed through. One
// resolver follows one way; branch() to follow several from the same point.
class Resolver {
 public:
  explicit Resolver(Parties choosers = {}) : choosers_(std::move(choosers)) {}
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // A resolver that goes on from where this one stands, spending from the same budget.
  Resolver branch() const;
  // From now on, every component walked (by this resolver and its branches) also spends from
  // `budget`, which must outlive them.
  void spend_from(WorkBudget* budget) { budget_ = budget; }

  // The directory `path` names (relative to the working directory unless absolute): listable,
  // or, without `listable`, only to open entries in (an O_PATH descriptor that the choosers
  // may search).
  Result<Opened> directory(std::string_view path, bool listable);
  // Entry `name` of `dir`, with links followed: a regular file open for reading.
  Result<Opened> file_at(const Opened& dir, std::string_view name,
                         OnDirectory on_directory = OnDirectory::kNotRegular);
  // The file at `path`.
  Result<Opened> file(std::string_view path, OnDirectory on_directory = OnDirectory::kNotRegular);

  // Every party that chose the way or the file.
  const Parties& choosers() const { return choosers_; }
  // From now on, judge the directories passed through by all their writers (access/writers.h),
  // as a way the run writes at needs.
  void judge_writers() { judge_writers_ = true; }
  // Whether anyone but the run chose the way or, with judge_writers(), may change a directory
  // passed through (a sticky one only for entries that are not the run's).
  bool others_may_change() const { return !choosers_.empty() || writers_beyond_run_; }

 private:
  // What the last component must give: a directory to open entries in or to list, or a file to
  // read.
  enum class Want { kSearchable, kListable, kFile };

  Resolver(Parties choosers, bool judge_writers, bool writers_beyond_run, WorkBudget* budget,
           int links, int components)
      : choosers_(std::move(choosers)),
        judge_writers_(judge_writers),
        writers_beyond_run_(writers_beyond_run),
        budget_(budget),
        links_(links),
        components_(components) {}

  Result<Opened> walk(Opened start, std::string_view path, Want want, OnDirectory on_directory);
  Result<Opened> step(const Opened& dir, const std::string& name, Want want,
                      OnDirectory on_directory);
  Result<Opened> follow(const Opened& dir, const Opened& link, Want want, OnDirectory on_directory);
  Result<Opened> open_found(const Opened& dir, const std::string& name, Opened entry, Want want,
                            OnDirectory on_directory);
  Result<Opened> open_file(const Opened& dir, const std::string& name, const Opened& entry);
  Result<> check_choosers(const Opened& dir, const std::string& name, const Opened& file,
                          const Parties& found_it, bool no_switch);
  Result<Opened> finish_directory(Opened dir, Want want, OnDirectory on_directory);
  Result<Opened> start(std::string_view path);
  Result<Opened> open_at(int dir, const char* name, int flags);
  Result<Opened> enter(Result<Opened> dir);
  Result<> refuse_served(const Opened& opened) const;
  std::string refused_as(Party party) const;

  // The choosers' credentials, held across the steps of one resolution (a switch costs a dozen
  // system calls) and given up when a public call returns.
  void take_credentials();
  struct Release {
    Resolver& resolver;
    ~Release() {
      resolver.held_.reset();
      resolver.held_for_.reset();
    }
  };

  Parties choosers_;
  bool judge_writers_ = false;
  bool writers_beyond_run_ = false;
  WorkBudget* budget_ = nullptr;
  int links_ = 0;
  int components_ = 0;
  std::optional<ScopedCredentials> held_;
  std::optional<Party> held_for_;
};

}  // namespace common::access
