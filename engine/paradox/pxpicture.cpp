#include "engine/paradox/pxpicture.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <functional>
#include <vector>

namespace engine::paradox {

struct Picture::Node {
  enum Kind { Class, Literal, Sequence, Choice, Optional, Repeat };
  Kind kind = Sequence;
  UChar32 ch = 0;  // Class: the picture character; Literal: the character
  int count = -1;  // Repeat: exact count, -1 = any number
  std::vector<Node> items;
};

namespace {

using Node = Picture::Node;

std::vector<UChar32> CodePoints(const std::string& s) {
  std::vector<UChar32> out;
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const std::int32_t n = static_cast<std::int32_t>(s.size());
  for (std::int32_t i = 0; i < n;) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    out.push_back(c < 0 ? 0xFFFD : c);
  }
  return out;
}

void AppendUtf8(UChar32 c, std::string& out) {
  std::uint8_t buf[4];
  std::int32_t len = 0;
  U8_APPEND_UNSAFE(buf, len, c);
  out.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(len));
}

bool IsClass(UChar32 c) {
  return c == '#' || c == '?' || c == '&' || c == '~' || c == '@' || c == '!';
}

class Parser {
 public:
  explicit Parser(std::vector<UChar32> text) : t_(std::move(text)) {}

  bool run(Node& root, std::string& error) {
    if (!choice(root)) {
      error = error_;
      return false;
    }
    if (i_ < t_.size()) {
      error = "unmatched '" + std::string(1, static_cast<char>(t_[i_])) + "' at position " +
              std::to_string(i_ + 1);
      return false;
    }
    return true;
  }

 private:
  bool fail(const std::string& what) {
    error_ = what;
    return false;
  }
  bool atEnd() const { return i_ >= t_.size(); }
  bool stops() const { return atEnd() || t_[i_] == ',' || t_[i_] == '}' || t_[i_] == ']'; }

  // alternatives := sequence (',' sequence)*
  bool choice(Node& out) {
    out.kind = Node::Choice;
    while (true) {
      Node seq;
      if (!sequence(seq)) return false;
      out.items.push_back(std::move(seq));
      if (atEnd() || t_[i_] != ',') return true;
      ++i_;
    }
  }

  bool sequence(Node& out) {
    out.kind = Node::Sequence;
    while (!stops()) {
      Node item;
      if (!this->item(item)) return false;
      out.items.push_back(std::move(item));
    }
    return true;
  }

  bool group(Node& out, UChar32 close) {
    ++i_;
    if (!choice(out)) return false;
    if (atEnd() || t_[i_] != close)
      return fail(std::string("'") + (close == '}' ? '{' : '[') + "' is not closed");
    ++i_;
    return true;
  }

  bool item(Node& out) {
    const UChar32 c = t_[i_];
    if (c == ';') {
      if (++i_ >= t_.size()) return fail("';' at the end has no character to quote");
      out.kind = Node::Literal;
      out.ch = t_[i_++];
      return true;
    }
    if (c == '*') {
      ++i_;
      out.kind = Node::Repeat;
      if (!atEnd() && t_[i_] >= '0' && t_[i_] <= '9') {
        out.count = 0;
        while (!atEnd() && t_[i_] >= '0' && t_[i_] <= '9') {
          out.count = out.count * 10 + static_cast<int>(t_[i_++] - '0');
          if (out.count > 255) return fail("a repetition count is larger than 255");
        }
      }
      if (stops()) return fail("'*' is not followed by what it repeats");
      out.items.emplace_back();
      return item(out.items.back());
    }
    if (c == '{') return group(out, '}');
    if (c == '[') {
      out.kind = Node::Optional;
      out.items.emplace_back();
      return group(out.items.back(), ']');
    }
    out.kind = IsClass(c) ? Node::Class : Node::Literal;
    out.ch = c;
    ++i_;
    return true;
  }

  std::vector<UChar32> t_;
  std::size_t i_ = 0;
  std::string error_;
};

// Backtracking matcher in continuation style: each node tries every way it
// can match at a position and hands the position after it to the rest.
class Matcher {
 public:
  using Next = std::function<bool(std::size_t)>;
  explicit Matcher(std::vector<UChar32> value) : v_(std::move(value)) {}

  bool run(const Node& root, std::string& converted) {
    if (!match(root, 0, [&](std::size_t at) { return at == v_.size(); })) return false;
    converted.clear();
    for (UChar32 c : out_) AppendUtf8(c, converted);
    return true;
  }

 private:
  // Pathological pictures ("**#"-like nests) must not run forever.
  static constexpr long kBudget = 2'000'000;

  bool take(std::size_t at, UChar32 stored, const Next& next) {
    out_.push_back(stored);
    if (next(at + 1)) return true;
    out_.pop_back();
    return false;
  }

  bool single(const Node& n, std::size_t at, const Next& next) {
    if (at >= v_.size()) return false;
    const UChar32 c = v_[at];
    if (n.kind == Node::Literal) {
      if (c != n.ch && u_foldCase(c, U_FOLD_CASE_DEFAULT) != u_foldCase(n.ch, U_FOLD_CASE_DEFAULT))
        return false;
      return take(at, n.ch, next);
    }
    switch (n.ch) {
      case '#': return u_isdigit(c) && take(at, c, next);
      case '?': return u_isalpha(c) && take(at, c, next);
      case '&': return u_isalpha(c) && take(at, u_toupper(c), next);
      case '~': return u_isalpha(c) && take(at, u_tolower(c), next);
      case '!': return take(at, u_toupper(c), next);
      default: return take(at, c, next);  // '@'
    }
  }

  bool sequence(const Node& n, std::size_t k, std::size_t at, const Next& next) {
    if (k == n.items.size()) return next(at);
    return match(n.items[k], at, [&](std::size_t after) { return sequence(n, k + 1, after, next); });
  }

  bool exactly(const Node& item, int times, std::size_t at, const Next& next) {
    if (times == 0) return next(at);
    return match(item, at, [&](std::size_t after) { return exactly(item, times - 1, after, next); });
  }

  bool any(const Node& item, std::size_t at, const Next& next) {
    // Longest first; a repetition that consumes nothing ends the loop.
    if (match(item, at,
              [&](std::size_t after) { return after > at && any(item, after, next); }))
      return true;
    return next(at);
  }

  bool match(const Node& n, std::size_t at, const Next& next) {
    if (++steps_ > kBudget) return false;
    switch (n.kind) {
      case Node::Class:
      case Node::Literal:
        return single(n, at, next);
      case Node::Sequence:
        return sequence(n, 0, at, next);
      case Node::Choice:
        for (const Node& alt : n.items)
          if (match(alt, at, next)) return true;
        return false;
      case Node::Optional:
        return match(n.items[0], at, next) || next(at);
      case Node::Repeat:
        return n.count >= 0 ? exactly(n.items[0], n.count, at, next) : any(n.items[0], at, next);
    }
    return false;
  }

  std::vector<UChar32> v_;
  std::vector<UChar32> out_;
  long steps_ = 0;
};

}  // namespace

Picture::Picture() = default;
Picture::~Picture() = default;
Picture::Picture(Picture&&) noexcept = default;
Picture& Picture::operator=(Picture&&) noexcept = default;

bool Picture::parse(const std::string& picture, std::string& error) {
  auto root = std::make_unique<Node>();
  if (picture.empty()) {
    error = "the picture is empty";
    return false;
  }
  if (!Parser(CodePoints(picture)).run(*root, error)) return false;
  text_ = picture;
  root_ = std::move(root);
  return true;
}

bool Picture::match(const std::string& value, std::string& converted) const {
  if (!root_) return false;
  return Matcher(CodePoints(value)).run(*root_, converted);
}

}  // namespace engine::paradox
