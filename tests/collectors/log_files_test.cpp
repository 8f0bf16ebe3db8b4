#include "common/collectors/log_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "common/copy_file.h"
#include "common/file_io.h"
#include "tests/test_util.h"

namespace common::collectors {
namespace {

class LogFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { tu::make_dir(logs_, 0755); }

  void configure(const std::string& location) {
    tu::write_text(config_, "{\"logging\": {\"log_file\": \"" + location + "\"}}");
  }

  std::vector<std::string> collected() {
    auto names = tu::listing_order(out_);
    std::sort(names.begin(), names.end());
    return names;
  }

  tu::TempDir tmp_;
  std::string logs_ = tmp_ / "logs";
  std::string out_ = tmp_ / "out";
  OutputDir dir_ = tu::make_output_dir(out_);
  std::string config_ = tmp_ / "keldra-oskel.cfg";
};

TEST_F(LogFilesTest, CopiesEveryNonDirectoryWhoseNameContainsTheLogName) {
  tu::write_text(logs_ + "/agent.log", "current\n", 0640);
  tu::write_text(logs_ + "/agent.log.1", "rotated\n");
  tu::write_text(logs_ + "/old-agent.log", "old\n");
  tu::write_text(logs_ + "/.agent.log.swp", "swap\n");
  tu::write_text(logs_ + "/other.txt", "no\n");
  tu::write_text(logs_ + "/AGENT.LOG", "no\n");
  tu::make_dir(logs_ + "/agent.log.d");
  tu::write_text(logs_ + "/agent.log.d/agent.log", "inside\n");
  tu::make_dir(tmp_ / "elsewhere");
  tu::make_symlink(tmp_ / "elsewhere", logs_ + "/agent.log.dirlink");
  tu::make_symlink(logs_ + "/agent.log", logs_ + "/agent.log.link");
  configure(logs_ + "/agent.log");

  ASSERT_TRUE(collect_log_files(config_, dir_));
  EXPECT_EQ(collected(), (std::vector<std::string>{".agent.log.swp", "agent.log", "agent.log.1",
                                                   "agent.log.link", "old-agent.log"}));
  EXPECT_EQ(tu::read_text(out_ + "/agent.log.link"), "current\n");
  EXPECT_EQ(tu::mode_of(out_ + "/agent.log.link"), S_IFREG | 0640);
}

TEST_F(LogFilesTest, NoMatchIsSuccessWithNothingCopied) {
  tu::write_text(logs_ + "/other.txt", "x");
  configure(logs_ + "/agent.log");
  ASSERT_TRUE(collect_log_files(config_, dir_));
  EXPECT_TRUE(collected().empty());
}

TEST_F(LogFilesTest, EveryEntryIsTriedAndTheFirstFailureIsTheStages) {
  for (const char* name : {"a.log.1", "a.log.2", "a.log.3", "a.log.4"}) {
    tu::write_text(logs_ + "/" + name, name);
  }
  tu::make_symlink(tmp_ / "nowhere", logs_ + "/a.log.dangling");
  tu::make_fifo(logs_ + "/a.log.fifo");  // refused without waiting for a writer
  UniqueFd socket(tu::make_socket(logs_ + "/a.log.sock"));
  ASSERT_TRUE(socket.valid());
  configure(logs_ + "/a.log");
  const auto result = collect_log_files(config_, dir_);
  ASSERT_FALSE(result);
  EXPECT_EQ(collected(), (std::vector<std::string>{"a.log.1", "a.log.2", "a.log.3", "a.log.4"}));
  // Whichever of the stale entries is listed first gives the error.
  std::string first_failure;
  for (const auto& name : tu::listing_order(logs_)) {
    if (name == "a.log.dangling") first_failure = "No such file or directory (os error 2)";
    if (name == "a.log.sock" || name == "a.log.fifo") first_failure = access::kNotRegularFile;
    if (!first_failure.empty()) break;
  }
  EXPECT_EQ(result.error().text(), first_failure);
}

TEST_F(LogFilesTest, ConfigurationProblemsAreTheStageError) {
  tu::write_text(logs_ + "/a.log", "x");
  tu::write_text(tmp_ / "plain", "");
  const std::string no_entry = "No such file or directory (os error 2)";
  const struct {
    std::string location;  // the configured log file; empty: no configuration file
    std::string expected;
  } cases[] = {
      {"", no_entry},
      {tmp_ / "missing/a.log", no_entry},
      {"agent.log", no_entry},
      {tmp_ / "plain/a.log", "Not a directory (os error 20)"},
      {logs_ + "\\u0000x/a.log", "file name contained an unexpected NUL byte"},
      // A NUL in the name part lists fine and selects nothing.
      {logs_ + "/a.log\\u0000", "ok"},
      {"\xFF", "stream did not contain valid UTF-8"},
  };
  for (const auto& c : cases) {
    ::unlink(config_.c_str());
    if (!c.location.empty()) configure(c.location);
    EXPECT_EQ(tu::ok_or_error(collect_log_files(config_, dir_)), c.expected) << c.location;
  }
  EXPECT_TRUE(collected().empty());
  tu::make_dir(tmp_ / "etc");
  EXPECT_EQ(tu::ok_or_error(collect_log_files(tmp_ / "etc", dir_)), "Is a directory (os error 21)");
}

// The configuration is read in 64 KiB chunks: which error wins, and where a chunk ends, must
// not change the outcome.
TEST_F(LogFilesTest, LargeConfigurationsKeepTheErrorOrder) {
  tu::write_text(logs_ + "/agent.log", "x");
  const std::string setting = "{\"logging\": {\"log_file\": \"" + logs_ + "/agent.log\"}}";
  const auto padded = [](std::size_t size, const std::string& text) {
    return std::string(size - text.size(), ' ') + text;
  };
  const struct {
    std::string content;
    std::string expected;
  } cases[] = {
      {padded(kWholeFileLimit, setting), "ok"},
      {padded(kWholeFileLimit + 1, setting), "File too large (os error 27)"},
      // Too large comes before bad UTF-8, bad UTF-8 anywhere before a JSON fault.
      {"\xFF" + padded(kWholeFileLimit, setting), "File too large (os error 27)"},
      {"x" + padded(200000, setting) + "\xFF", "stream did not contain valid UTF-8"},
      // A sequence split between two chunks is whole.
      {"{\"e\": \"" + std::string(65528, 'a') + "\xC3\xA9\", " + setting.substr(1), "ok"},
      {"{\"e\": \"" + std::string(65528, 'a') + "\xC3 \", " + setting.substr(1),
       "stream did not contain valid UTF-8"},
      {std::string(70000, '\n') + "{", "EOF while parsing an object at line 70001 column 1"},
  };
  for (const auto& c : cases) {
    tu::write_text(config_, c.content);
    ::unlink((out_ + "/agent.log").c_str());
    EXPECT_EQ(tu::ok_or_error(collect_log_files(config_, dir_)), c.expected);
    EXPECT_EQ(collected().size(), c.expected == "ok" ? 1u : 0u);
  }
}

// A configuration that is not a regular file is refused before it is opened: a FIFO cannot
// hold the run up, a device is never acted on, a kernel interface never read.
TEST_F(LogFilesTest, ConfigurationThatIsNotARegularFileIsNeverRead) {
  const struct {
    std::string target;  // empty: a FIFO at the configuration path
    std::string expected;
  } cases[] = {
      {"", access::kNotRegularFile},
      {"/dev/zero", access::kNotRegularFile},
      {"/proc/self/environ", "the source path is on a kernel pseudo file system (procfs)"},
  };
  for (const auto& c : cases) {
    ::unlink(config_.c_str());
    if (c.target.empty()) {
      tu::make_fifo(config_);
    } else {
      tu::make_symlink(c.target, config_);
    }
    EXPECT_EQ(tu::ok_or_error(collect_log_files(config_, dir_)), c.expected) << c.target;
  }
}

}  // namespace
}  // namespace common::collectors
