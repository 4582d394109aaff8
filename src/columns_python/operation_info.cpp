#include "columns_python/operation_info.h"

#include <vector>

namespace geoweave::columns::py {

const char* expected_types(Accepts accepts) {
  switch (accepts) {
    case Accepts::Bytes: return "binary, large_binary or binary_view";
    case Accepts::Text: return "string, large_string or string_view";
    default:
      return "binary, large_binary, binary_view, string, large_string or string_view";
  }
}

namespace {

// The top-level members of a JSON object, read without decoding anything.
class JsonMembers {
 public:
  struct Member {
    std::string_view key;    // with its quotes
    std::string_view value;  // as written
  };

  // False when `text` is not one JSON object (values are only delimited).
  bool read(std::string_view text) {
    s_ = text;
    i_ = 0;
    space();
    if (!eat('{')) return false;
    space();
    if (eat('}')) return end();
    for (;;) {
      space();
      const std::size_t key = i_;
      if (!string()) return false;
      const std::string_view key_text = s_.substr(key, i_ - key);
      space();
      if (!eat(':')) return false;
      space();
      const std::size_t value = i_;
      if (!skip_value()) return false;
      members_.push_back({key_text, s_.substr(value, i_ - value)});
      space();
      if (eat('}')) return end();
      if (!eat(',')) return false;
    }
  }

  const std::vector<Member>& members() const { return members_; }

 private:
  bool end() {
    space();
    return i_ == s_.size();
  }
  bool eat(char c) {
    if (i_ >= s_.size() || s_[i_] != c) return false;
    ++i_;
    return true;
  }
  static bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  void space() {
    while (i_ < s_.size() && blank(s_[i_])) ++i_;
  }
  bool string() {
    if (!eat('"')) return false;
    for (; i_ < s_.size(); ++i_) {
      if (s_[i_] == '\\') {
        ++i_;
      } else if (s_[i_] == '"') {
        ++i_;
        return true;
      }
    }
    return false;
  }
  bool skip_value() {
    if (i_ >= s_.size()) return false;
    if (s_[i_] == '"') return string();
    if (s_[i_] == '{' || s_[i_] == '[') {
      int depth = 0;
      while (i_ < s_.size()) {
        const char c = s_[i_];
        if (c == '"') {
          if (!string()) return false;
          continue;
        }
        ++i_;
        if (c == '{' || c == '[') {
          ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
          return true;
        }
      }
      return false;
    }
    const std::size_t start = i_;  // a number, true, false or null
    while (i_ < s_.size() && s_[i_] != ',' && s_[i_] != '}' && s_[i_] != ']' && !blank(s_[i_])) {
      ++i_;
    }
    return i_ > start;
  }

  std::string_view s_;
  std::size_t i_ = 0;
  std::vector<Member> members_;
};

}  // namespace

std::string result_metadata(std::string_view metadata, SridOption option) {
  if (option.kind != SridOption::Kind::Set) return std::string(metadata);
  JsonMembers json;
  const bool read = json.read(metadata);
  std::string out;
  if (read) {
    for (const JsonMembers::Member& m : json.members()) {
      if (m.key == "\"crs\"" || m.key == "\"crs_type\"") continue;
      out += out.empty() ? "{" : ",";
      out.append(m.key).append(":").append(m.value);
    }
  }
  if (option.value > 0) {
    out += out.empty() ? "{" : ",";
    out += "\"crs\":\"EPSG:" + std::to_string(option.value) +
           "\",\"crs_type\":\"authority_code\"";
  }
  if (!out.empty()) out += "}";
  return out;
}

}  // namespace geoweave::columns::py
