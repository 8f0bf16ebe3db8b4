#include "common/child_process.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "common/process.h"
#include "tests/test_util.h"

namespace common {
namespace {

using std::chrono::seconds;

struct ChildOutput {
  std::string standard_output;
  int wait_status = 0;
};

Result<ChildOutput> run(const std::string& program, const std::vector<std::string>& arguments,
                        seconds limit) {
  ChildOutput output;
  auto status = run_streaming(program, arguments, limit, [&](std::string_view chunk) {
    output.standard_output += chunk;
    return Result<>();
  });
  if (!status) return std::unexpected(status.error());
  output.wait_status = *status;
  return output;
}

Result<ChildOutput> run_sh(const std::string& script, seconds limit = seconds(30)) {
  return run("sh", {"-c", script}, limit);
}

TEST(ChildProcess, CapturesStdoutAndIgnoresStatusAndStderr) {
  const auto output = run_sh("printf 'out\\n'; echo noise >&2; exit 3");
  ASSERT_TRUE(output);
  EXPECT_EQ(output->standard_output, "out\n");
  EXPECT_EQ(WEXITSTATUS(output->wait_status), 3);
}

TEST(ChildProcess, MissingProgramIsTheOsError) {
  const auto output = run("no-such-program-oskel", {}, seconds(5));
  EXPECT_EQ(tu::ok_or_error(output), "No such file or directory (os error 2)");
}

TEST(ChildProcess, FloodOnBothPipesDoesNotStall) {
  const auto output = run_sh("head -c 4194304 /dev/zero >&2; head -c 1048576 /dev/zero");
  ASSERT_TRUE(output);
  EXPECT_EQ(output->standard_output.size(), 1048576u);
}

TEST(ChildProcess, StdinIsAtEndOfFile) {
  const auto output = run_sh("cat; echo done");
  ASSERT_TRUE(output);
  EXPECT_EQ(output->standard_output, "done\n");
}

TEST(ChildProcess, SignalsWeIgnoreAreBackToDefaultInTheChild) {
  const sighandler_t old_pipe = std::signal(SIGPIPE, SIG_IGN);
  const sighandler_t old_xfsz = std::signal(SIGXFSZ, SIG_IGN);
  const auto output = run_sh(
      "while read -r key value; do [ \"$key\" = SigIgn: ] && echo \"$value\"; done "
      "</proc/self/status");
  std::signal(SIGPIPE, old_pipe);
  std::signal(SIGXFSZ, old_xfsz);
  ASSERT_TRUE(output);
  const unsigned long ignored = std::stoul(output->standard_output, nullptr, 16);
  for (const int signal_number : {SIGPIPE, SIGXFSZ}) {
    EXPECT_EQ(ignored & (1ul << (signal_number - 1)), 0u) << signal_number;
  }
}

TEST(ChildProcess, InterruptWhileWaitingForTheChildIsTheInterruptNotATimeOut) {
  EXPECT_EQ(tu::in_child([]() -> std::string {
              prepare_process();
              // The signal comes once the pipes are closed, while the child is waited for.
              const auto start = Clock::now();
              const auto output =
                  run_sh("exec >&- 2>&-; sleep 0.2; kill -TERM $PPID; sleep 60", seconds(30));
              // Given up on within a fraction of a second, not at the time limit nor at a later
              // look.
              if (Clock::now() - start > seconds(2)) return "waited for the time limit";
              return tu::ok_or_error(output);
            }),
            "Interrupted");
}

TEST(ChildProcess, KillIsWaitedForOnlyForTheGracePeriod) {
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setpgid(0, 0);
    std::signal(SIGTERM, SIG_IGN);
    (void)!::write(ready[1], "", 1);
    ::sleep(30);
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte;
  EXPECT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  ChildProcess child(pid);
  // SIGTERM, ignored, stands in for a child that does not end when killed.
  EXPECT_FALSE(child.kill_and_wait(std::chrono::milliseconds(100), SIGTERM));
  EXPECT_TRUE(child.kill_and_wait());
}

// Descriptors of this process that a child would inherit (0-2 included).
std::size_t inheritable_descriptors() {
  std::size_t count = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags != -1 && (flags & FD_CLOEXEC) == 0) ++count;
  }
  return count;
}

TEST(ChildProcess, NoDescriptorOfOursLeaksIntoTheChild) {
  const std::size_t inherited = inheritable_descriptors();
  const auto output = run_sh("ls /proc/self/fd | wc -l");
  ASSERT_TRUE(output);
  // What this process would pass on anyway, plus the descriptor ls lists with; no pipe end.
  EXPECT_EQ(std::stoul(output->standard_output), inherited + 1);
}

// Whether `pid` has ended: gone, or a zombie waiting for whoever inherited it.
bool ended(const std::string& pid) {
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string skip, state;
    if (!(stat >> skip >> skip >> state) || state == "Z") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(ChildProcess, TimeLimitKillsTheWholeGroupAndReapsTheChild) {
  tu::TempDir tmp;
  const std::string pid_file = tmp / "grandchild";
  const std::string scripts[] = {
      "sleep 30",
      // Something it started still holds the pipes.
      "sleep 30 & echo $! > " + pid_file + "; echo started",
      // Its pipes are closed, but it goes on.
      "exec >&- 2>&-; sleep 30",
  };
  for (const auto& script : scripts) {
    const auto start = std::chrono::steady_clock::now();
    const auto output = run_sh(script, seconds(1));
    EXPECT_EQ(tu::ok_or_error(output), "sh did not finish within 1 seconds") << script;
    EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(10));
    // Nothing is left to reap, and nothing it started lives on.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  }
  const std::string grandchild = tu::read_text(pid_file);
  EXPECT_TRUE(ended(grandchild.substr(0, grandchild.find('\n'))));
}

TEST(ChildProcess, ChildThatClosesItsPipesEarlyIsStillWaitedFor) {
  const auto output = run_sh("exec >&- 2>&-; sleep 0.2; exit 4");
  ASSERT_TRUE(output);
  EXPECT_EQ(WEXITSTATUS(output->wait_status), 4);
}

TEST(DrainOutput, ReadErrorIsTheErrorNotTheEndOfOutput) {
  // A pseudo-terminal whose other side has closed fails reads with EIO, like a failing pipe.
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master.valid());
  ASSERT_EQ(::grantpt(master.get()), 0);
  ASSERT_EQ(::unlockpt(master.get()), 0);
  UniqueFd slave(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(slave.valid());
  slave = UniqueFd();
  UniqueFd err;
  const auto drained = drain_output(
      master, err, [](std::string_view) { return Result<>(); }, Clock::now() + seconds(5));
  EXPECT_EQ(tu::ok_or_error(drained), "Input/output error (os error 5)");
}

}  // namespace
}  // namespace common
