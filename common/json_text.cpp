#include "common/json_text.h"

#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace common {

namespace {

using nlohmann::json;

// Line (1-based) and column (bytes read on that line, 0 when none) after `consumed` bytes.
std::string position_text(std::string_view text, std::size_t consumed) {
  consumed = std::min(consumed, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < consumed; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(consumed - line_start);
}

// Offset just past the bracket that opens the `kJsonMaxDepth`-th level. Only called once the
// parser has stopped there, so everything before it is valid JSON.
std::size_t too_deep_offset(std::string_view text) {
  std::size_t depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth == kJsonMaxDepth) return i + 1;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return text.size();
}

// The library's messages read "[json.exception.<kind>.<id>] <text>", and a parse error's text
// is "parse error at line L, column C: <description>". Only the description is kept; the
// position is reported in our own form.
std::string library_description(std::string_view message) {
  if (message.starts_with('[')) {
    const auto close = message.find("] ");
    if (close != std::string_view::npos) message.remove_prefix(close + 2);
  }
  if (message.starts_with("parse error")) {
    const auto colon = message.find(": ");
    if (colon != std::string_view::npos) message.remove_prefix(colon + 2);
  }
  return std::string(message);
}

// Follows the parse through the library's public SAX interface without building anything: it
// counts the nesting depth, stopping at the limit, keeps the parse error instead of throwing it,
// and keeps only the string at `outer` → `inner` of the top-level object.
class NestedStringFinder : public nlohmann::json_sax<json> {
 public:
  NestedStringFinder(std::string_view outer, std::string_view inner)
      : outer_(outer), inner_(inner) {}

  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t) override { return scalar(); }
  bool number_unsigned(number_unsigned_t) override { return scalar(); }
  bool number_float(number_float_t, const string_t&) override { return scalar(); }
  bool binary(binary_t&) override { return scalar(); }
  bool string(string_t& value) override {
    if (begin_value() == Slot::kInner) found_ = std::move(value);
    return true;
  }

  bool start_object(std::size_t) override { return open(); }
  bool key(string_t& name) override {
    if (depth_ == 1) {
      next_ = name == outer_ ? Slot::kOuter : Slot::kNone;
    } else if (depth_ == 2 && in_outer_) {
      next_ = name == inner_ ? Slot::kInner : Slot::kNone;
    }
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t position, const std::string&,
                   const json::exception& error) override {
    error_position_ = position;
    error_message_ = error.what();
    return false;
  }

  std::optional<std::string> take_found() { return std::move(found_); }
  bool too_deep() const { return too_deep_; }
  std::size_t error_position() const { return error_position_; }
  const std::string& error_message() const { return error_message_; }

 private:
  // What the value that starts now is: the top-level member `outer`, the member `inner` of
  // that, or anything else.
  enum class Slot { kNone, kOuter, kInner };

  // A value at either key replaces what an earlier duplicate gave.
  Slot begin_value() {
    const Slot slot = std::exchange(next_, Slot::kNone);
    if (slot != Slot::kNone) found_.reset();
    return slot;
  }
  bool scalar() {
    begin_value();
    return true;
  }
  bool open() {
    const Slot slot = begin_value();
    if (depth_ + 1 >= kJsonMaxDepth) {
      too_deep_ = true;
      return false;
    }
    // Keys at depth 2 belong to the object opened last at depth 1, so this never goes stale.
    if (depth_ == 1) in_outer_ = slot == Slot::kOuter;
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::string_view outer_;
  std::string_view inner_;
  std::size_t depth_ = 0;  // arrays and objects open
  bool in_outer_ = false;  // the container open at depth 2 is the value at `outer`
  Slot next_ = Slot::kNone;
  std::optional<std::string> found_;
  bool too_deep_ = false;
  std::size_t error_position_ = 0;
  std::string error_message_;
};

}  // namespace

Result<std::optional<std::string>> find_nested_string_strict(std::string_view text,
                                                             std::string_view outer,
                                                             std::string_view inner) {
  // The library skips a byte-order mark; as it is not whitespace, it is an error here.
  if (text.starts_with("\xEF\xBB\xBF")) {
    return fail(ErrorKind::kInvalidData,
                "syntax error while parsing value - invalid literal; last read: '<U+FEFF>'" +
                    position_text(text, 1));
  }
  NestedStringFinder finder(outer, inner);
  const bool ok = json::sax_parse(text, &finder, json::input_format_t::json, true, false);
  // Outside a string the library reads a NUL byte as the end of the input (inside one it is
  // already an error). Unless the parser failed before reaching it, the NUL is the error.
  const auto nul = text.find('\0');
  const bool stopped_at_nul =
      finder.error_position() > nul && finder.error_message().find("U+0000") == std::string::npos;
  if (nul != std::string_view::npos && (ok || stopped_at_nul)) {
    return fail(ErrorKind::kInvalidData,
                "syntax error while parsing value - invalid literal; last read: '<U+0000>'" +
                    position_text(text, nul + 1));
  }
  if (ok) return finder.take_found();
  if (finder.too_deep()) {
    return fail(ErrorKind::kInvalidData,
                "recursion limit exceeded" + position_text(text, too_deep_offset(text)));
  }
  return fail(ErrorKind::kInvalidData, library_description(finder.error_message()) +
                                           position_text(text, finder.error_position()));
}

}  // namespace common
