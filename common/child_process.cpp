#include "common/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <expected>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "common/access/walk.h"
#include "common/file_io.h"
#include "common/path.h"
#include "common/process.h"

extern char** environ;

namespace common {

namespace {

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return os_error(errno);
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// posix_spawn's attribute and file-action objects: each is destroyed on every path, and only
// if it was initialised.
class SpawnSetup {
 public:
  SpawnSetup() = default;
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (actions_ready_) posix_spawn_file_actions_destroy(&actions_);
    if (attributes_ready_) posix_spawnattr_destroy(&attributes_);
  }

  // Its own process group, so that a time-out can kill what it started too; SIGPIPE and
  // SIGXFSZ back to their defaults (we ignore them), and no blocked signals. Standard input is the
  // null device.
  Result<> prepare(int stdout_fd, int stderr_fd) {
    if (int error = posix_spawnattr_init(&attributes_); error != 0) return os_error(error);
    attributes_ready_ = true;
    if (int error = posix_spawn_file_actions_init(&actions_); error != 0) return os_error(error);
    actions_ready_ = true;
    sigset_t default_signals;
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGPIPE);
    sigaddset(&default_signals, SIGXFSZ);
    sigset_t no_signals;
    sigemptyset(&no_signals);
    const int errors[] = {
        posix_spawnattr_setflags(
            &attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK),
        posix_spawnattr_setpgroup(&attributes_, 0),
        posix_spawnattr_setsigdefault(&attributes_, &default_signals),
        posix_spawnattr_setsigmask(&attributes_, &no_signals),
        posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
        posix_spawn_file_actions_adddup2(&actions_, stdout_fd, STDOUT_FILENO),
        posix_spawn_file_actions_adddup2(&actions_, stderr_fd, STDERR_FILENO),
    };
    for (const int error : errors) {
      if (error != 0) return os_error(error);
    }
    return {};
  }

  const posix_spawnattr_t* attributes() const { return &attributes_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
  bool attributes_ready_ = false;
  bool actions_ready_ = false;
};

std::string changeable_text(const access::Changer& changer) {
  const std::string id = std::to_string(changer.id);
  switch (changer.kind) {
    case access::Changer::Kind::kAccount:
      break;
    case access::Changer::Kind::kGroup:
      return std::string(kChangeablePath) + " by the writers in group " + id;
    case access::Changer::Kind::kEveryone:
      return std::string(kChangeablePath) + " by everyone";
  }
  return std::string(kChangeablePath) + " by another account (uid " + id + ")";
}

// One PATH candidate: the program's path with every link resolved where it may run from there,
// else why not (nullopt: nothing there to run). Only the run may change its way, links and
// their targets' ways included, and the file (root alone when the run is root): what another
// account could swap would run with the run's rights. As an exec search has it, a file without an
// execute bit, or anything but a file, is "Permission denied".
std::expected<std::string, std::optional<Error>> judge_candidate(const std::string& candidate) {
  auto end = access::Walk().end(candidate, true);
  if (!end) {
    if (end.error().errnum() == EACCES) return std::unexpected(Error::from_errno(EACCES));
    return std::unexpected(std::nullopt);
  }
  // What is run: its own writers may change it.
  access::Changers program;
  program.add(end->entry_writers);
  const std::optional<access::Changer> changer =
      end->changer ? end->changer : access::untrusted(program);
  if (changer) return std::unexpected(Error(changeable_text(*changer), ErrorKind::kRefused));
  // Any execute bit: the exec itself checks whether this process may, with its capabilities
  // (access(2) would ask as the real uid, without them).
  if (!S_ISREG(end->entry->st.st_mode) || (end->entry->st.st_mode & 0111) == 0) {
    return std::unexpected(Error::from_errno(EACCES));
  }
  return join_path(end->dir_path, end->name);
}

// The program as PATH finds it: the first absolute entry whose candidate may run (above).
// Empty and relative entries name places relative to wherever the run was started, such as a
// log directory another account controls, and are skipped. Without PATH, the usual default.
// Where no candidate may run, the first refused one says why. A name with a slash is taken as
// it is.
//
// The path yielded names no link, and every directory on it and the file are the run's alone to
// change, so the exec runs what was judged: only the run could swap it in between.
Result<std::string> find_program(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  const std::string_view entries = path != nullptr ? path : "/bin:/usr/bin";
  std::optional<Error> refused;
  for (std::size_t start = 0; start <= entries.size();) {
    const std::size_t end = std::min(entries.find(':', start), entries.size());
    const std::string_view entry = entries.substr(start, end - start);
    start = end + 1;
    if (!entry.starts_with('/')) continue;
    auto found = judge_candidate(join_path(entry, program));
    if (found) return std::move(*found);
    if (!refused) refused = std::move(found.error());
  }
  if (refused) return std::unexpected(std::move(*refused));
  return os_error(ENOENT);
}

Result<ChildProcess> spawn(const std::string& program, const std::vector<std::string>& arguments,
                           int stdout_fd, int stderr_fd) {
  const auto found = find_program(program);
  if (!found) return std::unexpected(found.error());
  SpawnSetup setup;
  if (auto prepared = setup.prepare(stdout_fd, stderr_fd); !prepared) {
    return std::unexpected(prepared.error());
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int error =
      posix_spawn(&pid, found->c_str(), setup.actions(), setup.attributes(), argv.data(), environ);
  if (error != 0) return os_error(error);
  return ChildProcess(pid);
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

}  // namespace

Result<bool> drain_output(UniqueFd& out, UniqueFd& err, const OutputSink& sink,
                          Clock::time_point deadline) {
  std::array<char, 64 * 1024> buffer;
  while (out.valid() || err.valid()) {
    if (interrupted()) return interrupted_error();
    std::array<pollfd, 3> fds = {
        {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}, {interrupt_fd(), POLLIN, 0}}};
    const int timeout = remaining_ms(deadline);
    if (timeout == 0) return false;
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    for (std::size_t i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        // Never taken for the end of the output: what was captured would be cut short.
        return os_error(errno);
      }
      if (n == 0) {
        (i == 0 ? out : err) = UniqueFd();
      } else if (i == 0) {
        if (auto taken = sink({buffer.data(), static_cast<std::size_t>(n)}); !taken) {
          return std::unexpected(taken.error());
        }
      }
    }
  }
  return true;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), reaped_(std::exchange(other.reaped_, true)), status_(other.status_) {}

ChildProcess::~ChildProcess() {
  // Given up on once already: waiting again would only hold the run up twice as long.
  if (!reaped_ && !abandoned_) kill_and_wait();
}

bool ChildProcess::try_wait() {
  if (reaped_) return true;
  pid_t result;
  do {
    result = ::waitpid(pid_, &status_, WNOHANG);
  } while (result < 0 && errno == EINTR);
  // ECHILD cannot be waited for again: count it as reaped.
  if (result == pid_ || result < 0) reaped_ = true;
  return reaped_;
}

bool ChildProcess::wait_until(Clock::time_point deadline, bool give_up_on_interrupt) {
  const auto given_up = [&] { return give_up_on_interrupt && interrupted() != 0; };
  if (try_wait()) return true;
  // A process descriptor becomes readable exactly when the child ends.
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  if (pidfd.valid()) {
    std::array<pollfd, 2> fds = {
        {{pidfd.get(), POLLIN, 0}, {give_up_on_interrupt ? interrupt_fd() : -1, POLLIN, 0}}};
    while (!given_up() && ::poll(fds.data(), fds.size(), remaining_ms(deadline)) < 0 &&
           errno == EINTR) {
    }
    return try_wait();
  }
  // Kernels before 5.3 have no process descriptors: look again after growing pauses.
  auto pause = std::chrono::microseconds(100);
  while (!try_wait() && Clock::now() < deadline && !given_up()) {
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - Clock::now()));
    pause = std::min(pause * 2, std::chrono::microseconds(50'000));
  }
  return try_wait();
}

bool ChildProcess::kill_and_wait(Clock::duration grace, int signal_number) {
  // The group outlives the child while one of its members runs; it is killed either way.
  ::kill(-pid_, signal_number);
  if (reaped_) return true;
  ::kill(pid_, signal_number);
  abandoned_ = !wait_until(Clock::now() + grace);
  return !abandoned_;
}

Result<int> run_streaming(const std::string& program, const std::vector<std::string>& arguments,
                          std::chrono::seconds time_limit, const OutputSink& sink) {
  const auto deadline = Clock::now() + time_limit;
  auto out_pipe = make_pipe();
  if (!out_pipe) return std::unexpected(out_pipe.error());
  auto err_pipe = make_pipe();
  if (!err_pipe) return std::unexpected(err_pipe.error());
  auto child = spawn(program, arguments, out_pipe->write_end.get(), err_pipe->write_end.get());
  if (!child) return std::unexpected(child.error());
  // Only the child keeps the write ends, so the pipes end when it (and what it started) does.
  out_pipe->write_end = UniqueFd();
  err_pipe->write_end = UniqueFd();

  auto drained = drain_output(out_pipe->read_end, err_pipe->read_end, sink, deadline);
  // The pipes can end before the process does (it closed them): wait, still within the limit.
  if (drained && *drained && child->wait_until(deadline, true)) return child->wait_status();
  // Out of time (the child itself or something it started still holds the pipes), interrupted,
  // or the output could not be kept: the whole group goes.
  if (!child->kill_and_wait()) {
    return fail(program + " did not end within " + std::to_string(kKillGrace.count()) +
                " seconds of being killed");
  }
  if (!drained) return std::unexpected(drained.error());
  if (interrupted()) return interrupted_error();
  return fail(program + " did not finish within " + std::to_string(time_limit.count()) +
              " seconds");
}

}  // namespace common
