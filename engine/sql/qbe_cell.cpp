#include "engine/sql/qbe_cell.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "engine/sql/qbe_form.h"

namespace engine::qbe {

namespace {

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
bool IsAlpha(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

struct Token {
  enum Kind { Number, Date, Text, Element, Word, Op, End } kind = End;
  std::string text;
  bool outer = false;  // an element written with `!`
};

int DaysIn(int month, int year) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

// m/d/y as the files write dates; two-digit years fall in 1950..2049.
std::optional<std::string> IsoDate(const std::string& s) {
  int m = 0, d = 0, y = 0;
  int parts[3] = {0, 0, 0}, lengths[3] = {0, 0, 0}, at = 0;
  for (char c : s) {
    if (c == '/') {
      if (++at > 2) return std::nullopt;
    } else if (IsDigit(c)) {
      parts[at] = parts[at] * 10 + (c - '0');
      if (++lengths[at] > 4) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (at != 2 || lengths[0] == 0 || lengths[1] == 0 || (lengths[2] != 2 && lengths[2] != 4)) return std::nullopt;
  m = parts[0], d = parts[1], y = parts[2];
  if (lengths[2] == 2) y += y < 50 ? 2000 : 1900;
  if (m < 1 || m > 12 || d < 1 || d > DaysIn(m, y) || y < 1) return std::nullopt;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return std::string(buf);
}

// Tokens of an expression; nothing when the text is not one (plain text).
std::optional<std::vector<Token>> Lex(const std::string& s, int line) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == ' ' || c == '\t') {
      ++i;
    } else if (IsDigit(c)) {
      size_t start = i;
      size_t end = s.find_first_not_of("0123456789/", i);
      std::string run = s.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (std::count(run.begin(), run.end(), '/') == 2) {
        std::optional<std::string> iso = IsoDate(run);
        if (!iso) ThrowSyntax(line, run, "not a valid date (month/day/year)");
        tokens.push_back({Token::Date, *iso});
        i += run.size();
        continue;
      }
      while (i < s.size() && IsDigit(s[i])) ++i;
      if (i + 1 < s.size() && s[i] == '.' && IsDigit(s[i + 1])) {
        for (++i; i < s.size() && IsDigit(s[i]);) ++i;
      }
      if (i < s.size() && (IsWordChar(s[i]) || s[i] == '.' || s[i] == '@')) return std::nullopt;
      tokens.push_back({Token::Number, s.substr(start, i - start)});
    } else if (c == '"') {
      std::string text;
      for (++i; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        text += s[i];
      }
      if (i >= s.size()) ThrowSyntax(line, s, "the quoted text is not closed");
      ++i;
      tokens.push_back({Token::Text, text});
    } else if (c == '_' && i + 1 < s.size() && IsWordChar(s[i + 1])) {
      size_t start = i;
      while (i < s.size() && IsWordChar(s[i])) ++i;
      Token t{Token::Element, Lower(s.substr(start, i - start))};
      if (i < s.size() && s[i] == '!') t.outer = true, ++i;
      tokens.push_back(t);
    } else if (IsAlpha(c)) {
      size_t start = i;
      while (i < s.size() && IsWordChar(s[i])) ++i;
      if (i < s.size() && (s[i] == '.' || s[i] == '@')) return std::nullopt;
      tokens.push_back({Token::Word, s.substr(start, i - start)});
    } else if (std::string("<>=+-*/()").find(c) != std::string::npos) {
      std::string two = s.substr(i, 2);
      bool pair = two == "<=" || two == ">=" || two == "<>";
      tokens.push_back({Token::Op, pair ? two : std::string(1, c)});
      i += pair ? 2 : 1;
    } else {
      return std::nullopt;
    }
  }
  tokens.push_back({Token::End, ""});
  return tokens;
}

ExprPtr Make(Expr::Kind kind, std::string text, ExprPtr left = nullptr, ExprPtr right = nullptr) {
  auto e = std::make_shared<Expr>();
  e->kind = kind;
  e->text = std::move(text);
  e->left = std::move(left);
  e->right = std::move(right);
  return e;
}

class ExprParser {
 public:
  ExprParser(std::vector<Token> tokens, int line) : tokens_(std::move(tokens)), line_(line) {}
  ExprPtr Whole() {
    ExprPtr e = Sum();
    if (Peek().kind != Token::End) Unexpected();
    return e;
  }

 private:
  const Token& Peek() const { return tokens_[at_]; }
  bool IsOp(const char* op) const { return Peek().kind == Token::Op && Peek().text == op; }
  [[noreturn]] void Unexpected() const {
    ThrowSyntax(line_, Peek().kind == Token::End ? "end of cell" : Peek().text, "unexpected in the expression");
  }
  ExprPtr Sum() {
    ExprPtr e = Product();
    while (IsOp("+") || IsOp("-")) {
      std::string op = tokens_[at_++].text;
      e = Make(Expr::Binary, op, e, Product());
    }
    return e;
  }
  ExprPtr Product() {
    ExprPtr e = Factor();
    while (IsOp("*") || IsOp("/")) {
      std::string op = tokens_[at_++].text;
      e = Make(Expr::Binary, op, e, Factor());
    }
    return e;
  }
  ExprPtr Factor() {
    const Token& t = Peek();
    if (t.kind == Token::Op && t.text == "-") {
      if (++depth_ > kMaxDepth) ThrowSyntax(line_, "-", "the expression is nested too deeply");
      ++at_;
      ExprPtr e = Make(Expr::Negate, "-", Factor());
      --depth_;
      return e;
    }
    if (t.kind == Token::Op && t.text == "(") {
      if (++depth_ > kMaxDepth) ThrowSyntax(line_, "(", "the expression is nested too deeply");
      ++at_;
      ExprPtr e = Sum();
      if (!IsOp(")")) Unexpected();
      ++at_, --depth_;
      return e;
    }
    switch (t.kind) {
      case Token::Number: return ++at_, Make(Expr::Number, t.text);
      case Token::Date: return ++at_, Make(Expr::Date, t.text);
      case Token::Text: return ++at_, Make(Expr::Text, t.text);
      case Token::Element: return ++at_, Make(Expr::Element, t.text);
      case Token::Word: return ++at_, Make(Expr::Today, "today");
      default: Unexpected();
    }
  }
  static constexpr int kMaxDepth = 100;
  std::vector<Token> tokens_;
  size_t at_ = 0;
  int depth_ = 0;
  int line_;
};

bool OnlyToday(const std::vector<Token>& tokens) {
  for (const Token& t : tokens)
    if (t.kind == Token::Word && Lower(t.text) != "today") return false;
  return true;
}

// A value: an expression, or text as it stands (`..` and `@` make it a pattern).
ExprPtr Operand(const std::string& raw, int line) {
  std::string s = Trim(raw);
  if (s.empty()) ThrowSyntax(line, raw, "a value is missing");
  std::optional<std::vector<Token>> tokens = Lex(s, line);
  if (tokens && OnlyToday(*tokens)) return ExprParser(*tokens, line).Whole();
  if (tokens && std::any_of(tokens->begin(), tokens->end(), [](const Token& t) { return t.kind == Token::Element; })) {
    for (const Token& t : *tokens)
      if (t.kind == Token::Word && Lower(t.text) != "today") ThrowSyntax(line, t.text, "not a keyword or value");
  }
  bool wild = s.find("..") != std::string::npos || s.find('@') != std::string::npos;
  return Make(wild ? Expr::Pattern : Expr::Text, s);
}

// The word `w` at the start of `s`, followed by its end or a blank.
bool StartsWord(const std::string& s, const std::string& w, std::string* rest = nullptr) {
  std::string l = Lower(s);
  if (l.compare(0, w.size(), w) != 0) return false;
  if (l.size() > w.size() && !std::isspace(static_cast<unsigned char>(l[w.size()]))) return false;
  if (rest) *rest = Trim(s.substr(w.size()));
  return true;
}

// Splits at the word `w` standing alone outside quotes.
std::vector<std::string> SplitWord(const std::string& s, const std::string& w) {
  std::vector<std::string> parts(1);
  bool quoted = false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '"') quoted = !quoted;
    bool before = i > 0 && std::isspace(static_cast<unsigned char>(s[i - 1]));
    size_t end = i + w.size();
    bool after = end < s.size() && std::isspace(static_cast<unsigned char>(s[end]));
    if (!quoted && before && after && Lower(s.substr(i, w.size())) == w) {
      parts.emplace_back();
      i = end - 1;
      continue;
    }
    parts.back() += s[i];
  }
  for (std::string& p : parts) p = Trim(p);
  return parts;
}

Condition ReadCondition(const std::string& s, int line) {
  Condition c;
  std::string rest;
  if (Lower(s) == "blank") return c.kind = Condition::Blank, c;
  if (StartsWord(s, "not", &rest)) {
    if (Lower(rest) == "blank") return c.kind = Condition::NotBlank, c;
    c.kind = Condition::Not;
    c.parts.push_back(ReadCondition(rest, line));
    return c;
  }
  if (StartsWord(s, "like", &rest)) {
    c.kind = Condition::Like;
    c.value = Operand(rest, line);
    return c;
  }
  for (const char* op : {"<=", ">=", "<>", "=", "<", ">"}) {
    if (s.compare(0, std::string(op).size(), op) == 0) {
      c.op = op;
      if (Trim(s.substr(c.op.size())).empty()) ThrowSyntax(line, op, "a value is missing after it");
      c.value = Operand(s.substr(c.op.size()), line);
      return c;
    }
  }
  c.op = "=";
  c.value = Operand(s, line);
  return c;
}

Calc ReadCalc(const std::string& text, int line) {
  Calc calc;
  std::vector<std::string> named = SplitWord(text, "as");
  if (named.size() > 2) ThrowSyntax(line, "as", "a calculated field has one name");
  if (named.size() == 2) calc.name = Unquote(named[1]);
  std::string body = named[0];
  static const std::pair<const char*, Calc::Aggregate> kAggregates[] = {
      {"sum", Calc::Sum}, {"count", Calc::Count}, {"average", Calc::Average}, {"min", Calc::Min}, {"max", Calc::Max}};
  for (const auto& [word, aggregate] : kAggregates) {
    std::string rest;
    if (!StartsWord(body, word, &rest)) continue;
    calc.aggregate = aggregate;
    calc.distinct = aggregate == Calc::Count;
    if (Lower(rest) == "all") calc.distinct = false;
    else if (Lower(rest) == "unique") calc.distinct = true;
    else if (!rest.empty()) ThrowSyntax(line, rest, "only all or unique may follow a summary");
    return calc;
  }
  if (body.empty()) ThrowSyntax(line, "calc", "calc needs an expression or a summary");
  calc.expr = Operand(body, line);
  calc.text = body;
  return calc;
}

// A lone example element (`_a`, `_a!`), if the item is one.
bool ReadElement(const std::string& item, int line, Cell& cell) {
  if (item.empty() || item[0] != '_') return false;
  std::optional<std::vector<Token>> tokens = Lex(item, line);
  if (!tokens || tokens->size() != 2 || (*tokens)[0].kind != Token::Element) return false;
  cell.elements.push_back({(*tokens)[0].text, (*tokens)[0].outer});
  return true;
}

void ReadItem(const std::string& item, int line, Cell& cell) {
  std::string rest;
  if (item.empty()) return;
  if (StartsWord(item, "calc", &rest)) return cell.calcs.push_back(ReadCalc(rest, line));
  if (StartsWord(item, "changeto", &rest)) {
    if (cell.changeTo) ThrowSyntax(line, "changeto", "one changeto per field");
    cell.changeTo = Operand(rest, line);
    return;
  }
  if (ReadElement(item, line, cell)) return;
  std::vector<std::string> alternatives = SplitWord(item, "or");
  if (alternatives.size() == 1) return cell.conditions.push_back(ReadCondition(item, line));
  Condition any;
  any.kind = Condition::Or;
  for (const std::string& a : alternatives) any.parts.push_back(ReadCondition(a, line));
  cell.conditions.push_back(any);
}

// A check mark at the start of an item, with an `as` name after it; gives
// the rest of the item.
std::string ReadMark(const std::string& item, int line, Cell& cell) {
  static const std::pair<const char*, Mark> kMarks[] = {
      {"checkdescending", Mark::CheckDescending}, {"checkplus", Mark::CheckPlus}, {"check", Mark::Check}};
  for (const auto& [word, mark] : kMarks) {
    std::string l = Lower(item);
    size_t n = std::string(word).size();
    if (l.compare(0, n, word) != 0 || (l.size() > n && IsWordChar(l[n]))) continue;
    if (cell.mark != Mark::None) ThrowSyntax(line, item.substr(0, n), "the field is checked twice");
    cell.mark = mark;
    std::vector<std::string> named = SplitWord(" " + item.substr(n) + " ", "as");
    if (named.size() > 2) ThrowSyntax(line, "as", "a field has one name");
    if (named.size() == 2 && named[1].empty()) ThrowSyntax(line, "as", "the new name is missing");
    if (named.size() == 2) cell.checkName = Unquote(named[1]);
    return named[0];
  }
  return item;
}

}  // namespace

Cell ReadCell(const std::string& text, int line) {
  Cell cell;
  for (const std::string& item : SplitTop(text, ',', true)) ReadItem(ReadMark(Trim(item), line, cell), line, cell);
  return cell;
}

void ElementsOf(const ExprPtr& e, std::vector<std::string>& out) {
  if (!e) return;
  if (e->kind == Expr::Element) out.push_back(e->text);
  ElementsOf(e->left, out);
  ElementsOf(e->right, out);
}

void ElementsOf(const Condition& c, std::vector<std::string>& out) {
  ElementsOf(c.value, out);
  for (const Condition& p : c.parts) ElementsOf(p, out);
}

}  // namespace engine::qbe
