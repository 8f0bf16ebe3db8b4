#include "common/access/scoped_credentials.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/fsuid.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common::access {
namespace {

// What the kernel says of the calling thread: file-system ids, groups, effective capabilities.
std::string state() {
  std::ifstream status("/proc/thread-self/status");
  std::string line, text;
  while (std::getline(status, line)) {
    if (line.starts_with("Uid:") || line.starts_with("Gid:") || line.starts_with("Groups:") ||
        line.starts_with("CapEff:")) {
      text += line + "\n";
    }
  }
  return text;
}

// The effective capabilities that pass permission checks: DAC override, read-search, fowner.
bool holds_file_capabilities() {
  std::istringstream text(state().substr(state().find("CapEff:") + 7));
  unsigned long long effective = 0;
  text >> std::hex >> effective;
  return (effective & 0xe) != 0;
}

// A run as root, with the securebit that keeps capabilities across a uid change, and a
// non-root run that holds the capabilities to switch and to read anything: each switch takes
// the ids given, no group and none of the capabilities that pass permission checks, and gives
// back exactly what was there, the groups included.
TEST(ScopedCredentials, TakesTheIdsWithoutGroupsOrCapabilitiesAndGivesAllBack) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching needs root";
  tu::TempDir tmp;
  const std::string secret = tmp / "secret";
  tu::write_text(secret, "key", 0600);
  const Credentials service{1500, 1600};
  const struct {
    const char* scenario;
    std::function<bool()> prepare;
  } cases[] = {
      {"root", [] { return true; }},
      {"root with no_setuid_fixup",
       [] { return ::prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP) == 0; }},
      {"uid 1700 with CAP_SETUID, CAP_SETGID, CAP_DAC_READ_SEARCH",
       [] {
         // Kept across the uid change, then raised again: 6 setgid, 7 setuid, 2 read-search.
         __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
         __user_cap_data_struct data[2] = {};
         data[0].permitted = data[0].effective = (1u << 6) | (1u << 7) | (1u << 2);
         return ::prctl(PR_SET_KEEPCAPS, 1) == 0 && ::setresgid(1700, 1700, 1700) == 0 &&
                ::setresuid(1700, 1700, 1700) == 0 && ::syscall(SYS_capset, &header, data) == 0;
       }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tu::in_child([&]() -> std::string {
                const gid_t own_groups[] = {4, 27};
                if (::setgroups(2, own_groups) != 0 || !c.prepare()) return "cannot prepare";
                if (!holds_file_capabilities()) return "no capability to drop";
                const std::string before = state();
                {
                  const ScopedCredentials as(service);
                  if (!as.switched() || !as.dropped()) return "not switched";
                  const std::string inside = state();
                  if (inside.find("\t1500\n") == std::string::npos ||
                      inside.find("\t1600\n") == std::string::npos ||
                      inside.find_first_of("0123456789", inside.find("Groups:")) <
                          inside.find('\n', inside.find("Groups:"))) {
                    return "inside: " + inside;
                  }
                  if (holds_file_capabilities()) return "capabilities kept";
                  errno = 0;
                  if (::open(secret.c_str(), O_RDONLY | O_CLOEXEC) >= 0 || errno != EACCES) {
                    return "root's file opened";
                  }
                }
                return state() == before ? "" : "after: " + state() + "before: " + before;
              }),
              "")
        << c.scenario;
  }
}

// The switch is the calling thread's alone: another thread keeps its ids and its groups.
TEST(ScopedCredentials, AnotherThreadKeepsItsOwnRights) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching needs root";
  EXPECT_EQ(tu::in_child([]() -> std::string {
              const gid_t own_groups[] = {4, 27};
              if (::setgroups(2, own_groups) != 0) return "cannot prepare";
              const std::string before = state();
              int step = 0;  // 1: the main thread has switched; 2: the other has looked
              std::string seen;
              std::thread other([&] {
                while (__atomic_load_n(&step, __ATOMIC_ACQUIRE) != 1) ::usleep(1000);
                seen = state();
                __atomic_store_n(&step, 2, __ATOMIC_RELEASE);
              });
              {
                const ScopedCredentials as({1500, 1600});
                __atomic_store_n(&step, 1, __ATOMIC_RELEASE);
                while (__atomic_load_n(&step, __ATOMIC_ACQUIRE) != 2) ::usleep(1000);
                if (!as.switched()) seen = "not switched";
              }
              other.join();
              return seen == before ? "" : "the other thread saw: " + seen;
            }),
            "");
}

}  // namespace
}  // namespace common::access
