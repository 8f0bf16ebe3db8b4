#include "common/collectors/log_setting.h"

#include <array>
#include <cerrno>
#include <utility>

#include "common/file_io.h"

namespace common::collectors {

namespace {

constexpr std::string_view kOuterKey = "logging";
constexpr std::string_view kInnerKey = "log_file";
constexpr std::size_t kKeyKept = kInnerKey.size() + 1;

}  // namespace

// A value at either key replaces what an earlier duplicate of that key gave.
LogFileLookup::Slot LogFileLookup::take_slot() {
  const Slot slot = std::exchange(next_slot_, Slot::kNone);
  if (slot != Slot::kNone) found_.reset();
  return slot;
}

void LogFileLookup::open(JsonContainer container) {
  const Slot slot = take_slot();
  // Keys at level 2 belong to the container opened last at level 1.
  if (depth_ == 1) in_outer_ = container == JsonContainer::kObject && slot == Slot::kOuter;
  ++depth_;
}

void LogFileLookup::key_piece(std::string_view bytes) {
  if (key_.size() < kKeyKept) key_.append(bytes.substr(0, kKeyKept - key_.size()));
}

void LogFileLookup::key_end() {
  if (depth_ == 1 && key_ == kOuterKey) {
    next_slot_ = Slot::kOuter;
  } else if (depth_ == 2 && in_outer_ && key_ == kInnerKey) {
    next_slot_ = Slot::kInner;
  }
  key_.clear();
}

void LogFileLookup::string_piece(std::string_view bytes) {
  if (next_slot_ == Slot::kInner) text_.append(bytes);
}

void LogFileLookup::value_end(JsonScalar kind) {
  if (take_slot() == Slot::kInner && kind == JsonScalar::kString) found_ = std::move(text_);
  text_.clear();
}

Result<std::string> LogSettingReader::finish() {
  if (auto read = json_.finish(); !read) return std::unexpected(read.error());
  auto found = lookup_.take_found();
  if (!found) return fail("Failed to read log location from config");
  return std::move(*found);
}

Result<std::string> read_log_file_setting(int config_fd) {
  LogSettingReader reader;
  std::array<char, 64 * 1024> buffer;
  auto size = read_chunks(config_fd, buffer, kWholeFileLimit + 1, [&](std::string_view chunk) {
    reader.feed(chunk);
    return Result<>();
  });
  if (!size) return std::unexpected(size.error());
  if (*size > kWholeFileLimit) return os_error(EFBIG);
  return reader.finish();
}

}  // namespace common::collectors
