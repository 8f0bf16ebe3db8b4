#include "common/collectors/log_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "common/copy_file.h"
#include "common/file_io.h"
#include "tests/test_util.h"

namespace common::collectors {
namespace {

using testing_util::exists;
using testing_util::listing_order;
using testing_util::read_text;
using testing_util::TempDir;
using testing_util::write_text;

class LogFilesTest : public ::testing::Test {
 protected:
  LogFilesTest() {
    ::mkdir(logs_.c_str(), 0755);
    ::mkdir(out_.c_str(), 0700);
  }

  void configure(const std::string& location) {
    write_text(config_, "{\"logging\": {\"log_file\": \"" + location + "\"}}");
  }

  std::vector<std::string> collected() {
    auto names = listing_order(out_);
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir tmp_;
  std::string logs_ = tmp_ / "logs";
  std::string out_ = tmp_ / "out";
  std::string config_ = tmp_ / "keldra-oskel.cfg";
};

TEST_F(LogFilesTest, CopiesEveryNonDirectoryWhoseNameContainsTheLogName) {
  write_text(logs_ + "/agent.log", "current\n", 0640);
  write_text(logs_ + "/agent.log.1", "rotated\n");
  write_text(logs_ + "/old-agent.log", "old\n");
  write_text(logs_ + "/.agent.log.swp", "swap\n");
  write_text(logs_ + "/other.txt", "no\n");
  write_text(logs_ + "/AGENT.LOG", "no\n");
  ::mkdir((logs_ + "/agent.log.d").c_str(), 0755);
  write_text(logs_ + "/agent.log.d/agent.log", "inside\n");
  ::mkdir((tmp_ / "elsewhere").c_str(), 0755);
  ::symlink((tmp_ / "elsewhere").c_str(), (logs_ + "/agent.log.dirlink").c_str());
  ::symlink((logs_ + "/agent.log").c_str(), (logs_ + "/agent.log.link").c_str());
  configure(logs_ + "/agent.log");

  ASSERT_TRUE(collect_log_files(config_, out_));
  EXPECT_EQ(collected(), (std::vector<std::string>{".agent.log.swp", "agent.log", "agent.log.1",
                                                   "agent.log.link", "old-agent.log"}));
  EXPECT_EQ(read_text(out_ + "/agent.log.link"), "current\n");
  EXPECT_EQ(testing_util::mode_of(out_ + "/agent.log.link"), S_IFREG | 0640);
}

TEST_F(LogFilesTest, NoMatchIsSuccessWithNothingCopied) {
  write_text(logs_ + "/other.txt", "x");
  configure(logs_ + "/agent.log");
  ASSERT_TRUE(collect_log_files(config_, out_));
  EXPECT_TRUE(collected().empty());
}

TEST_F(LogFilesTest, EveryEntryIsTriedAndTheFirstFailureIsTheStages) {
  for (const char* name : {"a.log.1", "a.log.2", "a.log.3", "a.log.4"}) {
    write_text(logs_ + "/" + name, name);
  }
  ::symlink((tmp_ / "nowhere").c_str(), (logs_ + "/a.log.dangling").c_str());
  ::close(testing_util::make_socket(logs_ + "/a.log.sock"));
  configure(logs_ + "/a.log");
  const auto result = collect_log_files(config_, out_);
  ASSERT_FALSE(result);
  EXPECT_EQ(collected(), (std::vector<std::string>{"a.log.1", "a.log.2", "a.log.3", "a.log.4"}));
  // Whichever of the two stale entries is listed first gives the error.
  std::string first_failure;
  for (const auto& name : listing_order(logs_)) {
    if (name == "a.log.dangling") first_failure = "No such file or directory (os error 2)";
    if (name == "a.log.sock") first_failure = std::string(kNotRegularFile);
    if (!first_failure.empty()) break;
  }
  EXPECT_EQ(result.error().text(), first_failure);
}

TEST_F(LogFilesTest, FifoMatchIsRefusedWithoutWaiting) {
  ::mkfifo((logs_ + "/a.log").c_str(), 0644);
  configure(logs_ + "/a.log");
  const auto result = collect_log_files(config_, out_);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(),
            "the source path is neither a regular file nor a symlink to a regular file");
}

TEST_F(LogFilesTest, ConfigurationProblemsAreTheStageError) {
  const auto error_of = [&] {
    const auto result = collect_log_files(config_, out_);
    return result ? std::string("ok") : result.error().text();
  };
  EXPECT_EQ(error_of(), "No such file or directory (os error 2)");
  write_text(config_, "{\"logging\": {\"log_file\": \"\xFF\"}}");
  EXPECT_EQ(error_of(), "stream did not contain valid UTF-8");
  configure(tmp_ / "missing/a.log");
  EXPECT_EQ(error_of(), "No such file or directory (os error 2)");
  configure("agent.log");
  EXPECT_EQ(error_of(), "No such file or directory (os error 2)");
  write_text(tmp_ / "plain", "");
  configure(tmp_ / "plain/a.log");
  EXPECT_EQ(error_of(), "Not a directory (os error 20)");
  configure(logs_ + "\\u0000x/a.log");
  EXPECT_EQ(error_of(), "file name contained an unexpected NUL byte");
  // A NUL in the name part lists fine and selects nothing.
  write_text(logs_ + "/a.log", "x");
  configure(logs_ + "/a.log\\u0000");
  EXPECT_EQ(error_of(), "ok");
  EXPECT_TRUE(collected().empty());
  ::mkdir((tmp_ / "etc").c_str(), 0755);
  EXPECT_EQ(collect_log_files(tmp_ / "etc", out_).error().text(), "Is a directory (os error 21)");
}

// The configuration is read in 64 KiB chunks, once for its size and UTF-8 and once to parse it:
// which error wins, and where a chunk ends, must not change the outcome.
TEST_F(LogFilesTest, LargeConfigurationsKeepTheErrorOrder) {
  write_text(logs_ + "/agent.log", "x");
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
      // Too large comes before bad UTF-8, wherever it is.
      {"\xFF" + padded(kWholeFileLimit, setting), "File too large (os error 27)"},
      {padded(200000, setting) + "\xFF", "stream did not contain valid UTF-8"},
      // A sequence split between two chunks is whole.
      {"{\"e\": \"" + std::string(65528, 'a') + "\xC3\xA9\", " + setting.substr(1), "ok"},
      {"{\"e\": \"" + std::string(65528, 'a') + "\xC3 \", " + setting.substr(1),
       "stream did not contain valid UTF-8"},
      {std::string(70000, '\n') + "{",
       "syntax error while parsing object key - unexpected end "
       "of input; expected string literal at line 70001 column 1"},
  };
  for (const auto& c : cases) {
    write_text(config_, c.content);
    const auto result = collect_log_files(config_, out_);
    EXPECT_EQ(result ? std::string("ok") : result.error().text(), c.expected);
  }
  EXPECT_EQ(collected(), std::vector<std::string>{"agent.log"});
}

TEST_F(LogFilesTest, FifoConfigurationIsReadOnceWhole) {
  ASSERT_EQ(::mkfifo(config_.c_str(), 0600), 0);
  // Without a writer the FIFO reads as empty, without waiting.
  EXPECT_EQ(collect_log_files(config_, out_).error().text(),
            "syntax error while parsing value - unexpected end of input; expected '[', '{', or a "
            "literal at line 1 column 0");
}

}  // namespace
}  // namespace common::collectors
