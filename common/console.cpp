#include "common/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "common/file_io.h"

namespace common {

// A console that cannot be written to is no reason to stop: failures are ignored.
void print_out(std::string_view text) { (void)write_all(STDOUT_FILENO, text); }
void print_err(std::string_view text) { (void)write_all(STDERR_FILENO, text); }

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() returns the lowest free descriptor, which is `fd` itself here.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace common
