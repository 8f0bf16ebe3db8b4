#include "common/access/shared_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/access/parties.h"
#include "common/access/rules.h"
#include "common/access/scoped_credentials.h"
#include "common/access/writers.h"

namespace common::access {

bool is_shared_directory(const Walk& way, const Opened& dir) {
  Changers changers = way.changers();
  changers.add(writers_of(dir.fd.get(), dir.st));
  return !way.choosers().empty() || untrusted(changers).has_value();
}

namespace {

// Whether `party` may make entries in the directory `dir` and enter it, as the kernel judges it
// with the party's credentials. Where the kernel cannot be asked (no right to switch; no
// faccessat2, before 5.8, where the C library's stand-in judges by the effective uid, or an
// emulator's stand-in by the real one), the mode alone: the owner's bits for the owner, the
// others' bits for anyone else.
bool may_write_and_enter(Party party, const Opened& dir) {
  if (owed_to_unheld_id(party, dir.st, S_IWOTH | S_IXOTH)) return false;
  {
    const ScopedCredentials as(party.credentials());
    if (as.switched() && as.dropped()) {
      const auto granted = [](int at, const char* path, int mode) {
        return ::syscall(SYS_faccessat2, at, path, mode, AT_EACCESS) == 0;
      };
      if (granted(dir.fd.get(), ".", W_OK | X_OK)) {
        // An emulator that stands in for the call with the real uid grants root's "/" too.
        if (!granted(AT_FDCWD, "/", W_OK)) return true;
      } else if (errno != ENOSYS) {
        return false;
      }
    }
  }
  const bool owner = party.kind == Party::Kind::kAccount && dir.st.st_uid == party.id;
  const mode_t bits = owner ? S_IWUSR | S_IXUSR : S_IWOTH | S_IXOTH;
  return (dir.st.st_mode & bits) == bits;
}

}  // namespace

Result<> refuse_unless_choosers_write(const Walk& way, const Opened& dir) {
  for (const Party& party : way.choosers()) {
    if (may_write_and_enter(party, dir)) continue;
    if (party.kind == Party::Kind::kEveryone) {
      return refuse(
          "the temporary directory may have been chosen by anyone, and not everyone may write it");
    }
    return refuse("the temporary directory was chosen by another account (uid " +
                  std::to_string(party.id) + "), which may not write it");
  }
  return {};
}

}  // namespace common::access
