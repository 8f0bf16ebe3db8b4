// Benchmark driver: times one stage of the tool in this process and reports its peak RSS.
//
//   oskel_bench archive DIR       archive DIR into DIR.tar.gz as the archive stage does
//   oskel_bench zlib FILE         gzip FILE at level 6 with zlib alone, output discarded
//   oskel_bench copy SRC DST      copy_file every file of SRC into DST
//   oskel_bench logs CONFIG DST   the log stage: read CONFIG's log setting, copy the logs to DST
//   oskel_bench margin DIR        the disk-margin check, 100,000 times on a file in DIR: prints
//                                 the cost of one check
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/access/disk_margin.h"
#include "common/archive/archive.h"
#include "common/collectors/log_files.h"
#include "common/copy_file.h"
#include "common/file_io.h"
#include "common/output_dir.h"
#include "common/path.h"

namespace {

// A failure on standard error, with the step and the path it concerns: "oskel_bench archive
// /var/tmp/x: No space left on device (os error 28)".
int failed(const std::string& step, const std::string& path, const std::string& error) {
  std::fprintf(stderr, "oskel_bench %s %s: %s\n", step.c_str(), path.c_str(), error.c_str());
  return 1;
}

// An existing directory, held as a run holds its output directory.
common::OutputDir held(const std::string& dir) {
  const std::string parent(common::parent_dir(dir));
  return common::OutputDir(dir, common::UniqueFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY)),
                           common::UniqueFd(::open(parent.c_str(), O_PATH | O_DIRECTORY)), false);
}

int archive(const std::string& dir) {
  const auto archived =
      common::archive::archive_output_directory(held(dir), common::base_name(dir));
  return archived ? 0 : failed("archive", dir, archived.error().text());
}

int zlib_only(const std::string& file) {
  common::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return failed("zlib", file, std::strerror(errno));
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::vector<unsigned char> in(256 * 1024), out(256 * 1024);
  int flush = Z_NO_FLUSH;
  while (flush != Z_FINISH) {
    const ssize_t n = ::read(fd.get(), in.data(), in.size());
    if (n < 0) return failed("zlib", file, std::strerror(errno));
    flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = in.data();
    stream.avail_in = static_cast<uInt>(n);
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      deflate(&stream, flush);
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  return 0;
}

int copy(const std::string& source_dir, const std::string& destination_dir) {
  auto dir = common::DirStream::adopt(
      common::UniqueFd(::open(source_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  const auto destination = held(destination_dir);
  if (!dir) return failed("copy", source_dir, dir.error().text());
  if (destination.fd() < 0) return failed("copy", destination_dir, std::strerror(errno));
  for (;;) {
    auto entry = dir->next();
    if (!entry || *entry == nullptr) break;
    const std::string name = (*entry)->d_name;
    const auto copied =
        common::copy_file(common::join_path(source_dir, name), destination.fd(), name);
    if (!copied) return failed("copy", common::join_path(source_dir, name), copied.error().text());
  }
  return 0;
}

int logs(const std::string& config, const std::string& destination_dir) {
  const auto collected = common::collectors::collect_log_files(config, held(destination_dir));
  return collected ? 0 : failed("logs", config, collected.error().text());
}

int margin(const std::string& dir) {
  constexpr int kChecks = 100000;
  const std::string file = common::join_path(dir, "margin-probe");
  common::UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  ::unlink(file.c_str());
  if (!fd.valid()) return 1;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kChecks; ++i) {
    if (!common::access::check_disk_margin(fd.get(), 1)) return 1;
  }
  const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("ns_per_check %.0f\n", elapsed.count() / kChecks);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: oskel_bench archive DIR | zlib FILE | copy SRC DST | logs CONFIG DST | "
                 "margin DIR\n");
    return 2;
  }
  const std::string mode = argv[1];
  std::function<int()> work;
  if (mode == "archive") {
    work = [&] { return archive(argv[2]); };
  } else if (mode == "zlib") {
    work = [&] { return zlib_only(argv[2]); };
  } else if (mode == "copy" && argc >= 4) {
    work = [&] { return copy(argv[2], argv[3]); };
  } else if (mode == "margin") {
    work = [&] { return margin(argv[2]); };
  } else if (mode == "logs" && argc >= 4) {
    work = [&] { return logs(argv[2], argv[3]); };
  } else {
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const int status = work();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("seconds %.3f max_rss_kib %ld\n", elapsed.count(), usage.ru_maxrss);
  return status;
}
