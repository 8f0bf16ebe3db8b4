#include "common/json_text.h"

#include <string>
#include <utility>
#include <vector>

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

// Builds the document through the library's public SAX interface, stopping at the depth limit
// and keeping the parse error instead of throwing it.
class StrictDomBuilder : public nlohmann::json_sax<json> {
 public:
  explicit StrictDomBuilder(json& root) : root_(root) {}

  bool null() override { return add(nullptr); }
  bool boolean(bool value) override { return add(value); }
  bool number_integer(number_integer_t value) override { return add(value); }
  bool number_unsigned(number_unsigned_t value) override { return add(value); }
  bool number_float(number_float_t value, const string_t&) override { return add(value); }
  bool string(string_t& value) override { return add(std::move(value)); }
  bool binary(binary_t& value) override { return add(json::binary(std::move(value))); }

  bool start_object(std::size_t) override { return open(json::value_t::object); }
  bool key(string_t& name) override {
    member_ = &(*open_.back())[name];
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(json::value_t::array); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t position, const std::string&,
                   const json::exception& error) override {
    error_position_ = position;
    error_message_ = error.what();
    return false;
  }

  bool too_deep() const { return too_deep_; }
  std::size_t error_position() const { return error_position_; }
  const std::string& error_message() const { return error_message_; }

 private:
  // Places a value where the parser stands: the root, the next array element or the value of
  // the member whose key came last. Yields where it went.
  json* place(json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    json& parent = *open_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    *member_ = std::move(value);
    return member_;
  }
  template <class Value>
  bool add(Value&& value) {
    place(json(std::forward<Value>(value)));
    return true;
  }
  bool open(json::value_t type) {
    if (open_.size() + 1 >= kJsonMaxDepth) {
      too_deep_ = true;
      return false;
    }
    open_.push_back(place(json(type)));
    return true;
  }
  bool close() {
    open_.pop_back();
    return true;
  }

  json& root_;
  std::vector<json*> open_;  // the arrays and objects being filled, innermost last
  json* member_ = nullptr;
  bool too_deep_ = false;
  std::size_t error_position_ = 0;
  std::string error_message_;
};

}  // namespace

Result<json> parse_json_strict(std::string_view text) {
  // The library skips a byte-order mark; as it is not whitespace, it is an error here.
  if (text.starts_with("\xEF\xBB\xBF")) {
    return fail(ErrorKind::kInvalidData,
                "syntax error while parsing value - invalid literal; last read: '<U+FEFF>'" +
                    position_text(text, 1));
  }
  json root;
  StrictDomBuilder builder(root);
  const bool ok = json::sax_parse(text, &builder, json::input_format_t::json, true, false);
  // Outside a string the library reads a NUL byte as the end of the input (inside one it is
  // already an error). Unless the parser failed before reaching it, the NUL is the error.
  const auto nul = text.find('\0');
  const bool stopped_at_nul =
      builder.error_position() > nul && builder.error_message().find("U+0000") == std::string::npos;
  if (nul != std::string_view::npos && (ok || stopped_at_nul)) {
    return fail(ErrorKind::kInvalidData,
                "syntax error while parsing value - invalid literal; last read: '<U+0000>'" +
                    position_text(text, nul + 1));
  }
  if (ok) return root;
  if (builder.too_deep()) {
    return fail(ErrorKind::kInvalidData,
                "recursion limit exceeded" + position_text(text, too_deep_offset(text)));
  }
  return fail(ErrorKind::kInvalidData, library_description(builder.error_message()) +
                                           position_text(text, builder.error_position()));
}

}  // namespace common
