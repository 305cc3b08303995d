#include "config/json_value.h"

namespace tolvarine::operator_control {
namespace {

class compactor {
 public:
  explicit compactor(std::string_view text) : text_(text) {}

  bool run() {
    if (!value(0)) return false;
    skip_blank();
    return at_ == text_.size();
  }
  std::string& out() { return out_; }

 private:
  static bool is_digit(char c) { return c >= '0' && c <= '9'; }
  static bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }
  bool more() const { return at_ < text_.size(); }
  char peek() const { return text_[at_]; }
  void skip_blank() {
    while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++at_;
  }
  bool take(char c) {
    skip_blank();
    if (!more() || peek() != c) return false;
    out_.push_back(c);
    ++at_;
    return true;
  }

  bool value(size_t depth) {
    skip_blank();
    if (!more() || depth > kMaxJsonDepth) return false;
    switch (peek()) {
      case '{': return container(depth, '}', true);
      case '[': return container(depth, ']', false);
      case '"': return string();
      case 't': return word("true");
      case 'f': return word("false");
      case 'n': return word("null");
      default: return number();
    }
  }

  bool container(size_t depth, char close, bool object) {
    out_.push_back(peek());
    ++at_;
    if (take(close)) return true;
    do {
      if (object) {
        skip_blank();
        if (!more() || peek() != '"' || !string() || !take(':')) return false;
      }
      if (!value(depth + 1)) return false;
    } while (take(','));
    return take(close);
  }

  bool string() {
    const size_t start = at_++;
    while (more() && peek() != '"') {
      const unsigned char c = static_cast<unsigned char>(peek());
      if (c < 0x20) return false;
      if (c == '\\') {
        if (++at_ >= text_.size()) return false;
        const char e = peek();
        if (e == 'u') {
          if (text_.size() - at_ < 5) return false;
          for (size_t i = 1; i <= 4; ++i) {
            if (!is_hex(text_[at_ + i])) return false;
          }
          at_ += 4;
        } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
          return false;
        }
      }
      ++at_;
    }
    if (!more()) return false;
    ++at_;
    out_.append(text_.substr(start, at_ - start));
    return true;
  }

  bool word(std::string_view w) {
    if (text_.substr(at_, w.size()) != w) return false;
    out_.append(w);
    at_ += w.size();
    return true;
  }

  bool digits() {
    const size_t start = at_;
    while (more() && is_digit(peek())) ++at_;
    return at_ > start;
  }

  bool number() {
    const size_t start = at_;
    if (more() && peek() == '-') ++at_;
    if (more() && peek() == '0') {
      ++at_;
    } else if (!digits()) {
      return false;
    }
    if (more() && peek() == '.') {
      ++at_;
      if (!digits()) return false;
    }
    if (more() && (peek() == 'e' || peek() == 'E')) {
      ++at_;
      if (more() && (peek() == '+' || peek() == '-')) ++at_;
      if (!digits()) return false;
    }
    out_.append(text_.substr(start, at_ - start));
    return true;
  }

  std::string_view text_;
  size_t at_ = 0;
  std::string out_;
};

}  // namespace

std::optional<std::string> compact_json(std::string_view text) {
  compactor c(text);
  if (!c.run()) return std::nullopt;
  return std::move(c.out());
}

}  // namespace tolvarine::operator_control
