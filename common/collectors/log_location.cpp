#include "common/collectors/log_location.h"

#include <cstddef>
#include <vector>

#include <nlohmann/json.hpp>

namespace common::collectors {

namespace {

using nlohmann::json;

// Arrays and objects nested this deep are refused, like a recursion limit.
constexpr std::size_t kMaxDepth = 128;

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

// Offset just past the bracket that opens the `kMaxDepth`-th level. Only called once the
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
      if (++depth == kMaxDepth) return i + 1;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return text.size();
}

// Builds the document like the library's own DOM parser, but stops at the depth limit and
// keeps the parse error instead of throwing it.
class LimitedDomParser : public nlohmann::detail::json_sax_dom_parser<json> {
 public:
  using Base = nlohmann::detail::json_sax_dom_parser<json>;
  explicit LimitedDomParser(json& document) : Base(document, false) {}

  bool start_object(std::size_t elements) { return enter() && Base::start_object(elements); }
  bool end_object() {
    --depth_;
    return Base::end_object();
  }
  bool start_array(std::size_t elements) { return enter() && Base::start_array(elements); }
  bool end_array() {
    --depth_;
    return Base::end_array();
  }
  template <class Exception>
  bool parse_error(std::size_t position, const std::string& token, const Exception& error) {
    error_position_ = position;
    error_message_ = error.what();
    return Base::parse_error(position, token, error);
  }

  bool too_deep() const { return too_deep_; }
  std::size_t error_position() const { return error_position_; }
  const std::string& error_message() const { return error_message_; }

 private:
  bool enter() {
    if (++depth_ < kMaxDepth) return true;
    too_deep_ = true;
    return false;
  }

  std::size_t depth_ = 0;
  bool too_deep_ = false;
  std::size_t error_position_ = 0;
  std::string error_message_;
};

// The library's message is "[json.exception.parse_error.N] parse error at line L, column C:
// <description>"; the position is reported in our own form instead.
std::string parse_error_description(const std::string& message) {
  const auto at = message.find("parse error");
  const auto colon = message.find(": ", at == std::string::npos ? 0 : at);
  return colon == std::string::npos ? message : message.substr(colon + 2);
}

Result<json> parse_strict(std::string_view text) {
  // The library skips a byte-order mark; as it is not whitespace, it is an error here.
  if (text.starts_with("\xEF\xBB\xBF")) {
    return fail(ErrorKind::kInvalidData,
                "syntax error while parsing value - invalid literal; last read: '<U+FEFF>'" +
                    position_text(text, 1));
  }
  json root;
  LimitedDomParser parser(root);
  const bool ok = json::sax_parse(text, &parser, json::input_format_t::json, true, false);
  if (ok) return root;
  if (parser.too_deep()) {
    return fail(ErrorKind::kInvalidData,
                "recursion limit exceeded" + position_text(text, too_deep_offset(text)));
  }
  return fail(ErrorKind::kInvalidData, parse_error_description(parser.error_message()) +
                                           position_text(text, parser.error_position()));
}

}  // namespace

Result<std::string> read_log_file_setting(std::string_view config_text) {
  auto root = parse_strict(config_text);
  if (!root) return std::unexpected(root.error());
  const json* logging = nullptr;
  if (root->is_object()) {
    const auto found = root->find("logging");
    if (found != root->end()) logging = &*found;
  }
  if (logging != nullptr && logging->is_object()) {
    const auto log_file = logging->find("log_file");
    if (log_file != logging->end() && log_file->is_string()) return log_file->get<std::string>();
  }
  return fail(ErrorKind::kInvalidInput, "Failed to read log location from config");
}

Result<LogLocation> split_log_location(std::string_view location) {
  const bool absolute = location.starts_with('/');
  // Components as offsets into `location`: empty ones and "." are dropped, except a "." that
  // stands first in a relative location.
  struct Piece {
    std::size_t start;
    std::string_view text;
  };
  std::vector<Piece> pieces;
  std::size_t start = 0;
  while (start <= location.size()) {
    const auto end = std::min(location.find('/', start), location.size());
    const std::string_view piece = location.substr(start, end - start);
    const bool leading_dot = piece == "." && start == 0;
    if (!piece.empty() && (piece != "." || leading_dot)) pieces.push_back({start, piece});
    start = end + 1;
  }
  if (pieces.empty()) {
    return fail(ErrorKind::kInvalidInput, "Failed to read log file directory from config");
  }

  // The parent: everything before the last component, without trailing "/" or "." pieces,
  // but never less than the root or a leading ".".
  const Piece& last = pieces.back();
  const bool leading_dot = !absolute && pieces.front().start == 0 && pieces.front().text == ".";
  const std::size_t keep = (absolute || leading_dot) ? 1 : 0;
  std::string_view directory = location.substr(0, last.start);
  while (directory.size() > keep) {
    if (directory.ends_with('/')) {
      directory.remove_suffix(1);
    } else if (directory.ends_with("/.") && directory.size() - 1 >= keep) {
      directory.remove_suffix(1);
    } else {
      break;
    }
  }
  if (last.text == ".." || (last.text == "." && last.start == 0)) {
    return fail(ErrorKind::kInvalidInput, "Failed to read log file name from config");
  }
  return LogLocation{std::string(directory), std::string(last.text)};
}

}  // namespace common::collectors
