#include "engine/dataset/filter.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace engine {

namespace {

// What a field's values are compared as.
enum class Kind { Text, Number, Date, Time, Timestamp, Logical, None };

Kind KindOf(std::uint16_t type) {
  switch (type) {
    case pxAlpha:
    case pxMemo:
    case pxFmtMemo:
    case dbChar:
    case dbMemo:
      return Kind::Text;
    case pxNumber:
    case pxMoney:
    case pxShort:
    case pxLong:
    case pxAutoinc:
    case pxBcd:
    case dbNumber:
    case dbFloat:
      return Kind::Number;
    case pxDate:
    case dbDate:
      return Kind::Date;
    case pxTime:
      return Kind::Time;
    case pxTimestamp:
      return Kind::Timestamp;
    case pxLogical:
    case dbLogical:
      return Kind::Logical;
    default:
      return Kind::None;
  }
}

enum class Op { Eq, Ne, Lt, Gt, Le, Ge };

// A comparable form of a value: a number (dates, times and logicals are
// numbers too) or a text; nullopt for a blank.
struct Scalar {
  bool isText = false;
  double number = 0;
  std::string text;
};

std::optional<Scalar> ScalarOf(const Value& v, bool fold) {
  Scalar s;
  if (const auto* t = std::get_if<std::string>(&v)) {
    if (t->empty()) return std::nullopt;  // an empty text is a blank
    s.isText = true;
    s.text = *t;
    if (fold)
      for (char& ch : s.text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
    s.number = static_cast<double>(*i);
  } else if (const auto* d = std::get_if<double>(&v)) {
    s.number = *d;
  } else if (const auto* b = std::get_if<BcdValue>(&v)) {
    s.number = std::strtod(b->text.c_str(), nullptr);
  } else if (const auto* day = std::get_if<DateValue>(&v)) {
    s.number = day->day;
  } else if (const auto* tm = std::get_if<TimeValue>(&v)) {
    s.number = tm->ms;
  } else if (const auto* ts = std::get_if<TimestampValue>(&v)) {
    s.number = ts->ms;
  } else if (const auto* l = std::get_if<bool>(&v)) {
    s.number = *l ? 1 : 0;
  } else {
    return std::nullopt;
  }
  return s;
}

bool Compare(const Scalar& a, const Scalar& b, Op op) {
  int c = a.isText ? a.text.compare(b.text) : (a.number < b.number ? -1 : a.number > b.number);
  switch (op) {
    case Op::Eq: return c == 0;
    case Op::Ne: return c != 0;
    case Op::Lt: return c < 0;
    case Op::Gt: return c > 0;
    case Op::Le: return c <= 0;
    case Op::Ge: return c >= 0;
  }
  return false;
}

}  // namespace

struct RecordFilter::Node {
  enum class Type { And, Or, Not, Compare } type = Type::Compare;
  std::shared_ptr<const Node> left, right;
  // A comparison: field `field` with the literal (nullopt: NULL) or with
  // field `other`.
  int field = -1;
  int other = -1;
  Op op = Op::Eq;
  std::optional<Scalar> literal;
  bool prefix = false;  // literal.text is a prefix ('Sm*')
  bool fold = false;

  bool eval(const std::vector<Value>& rec) const {
    switch (type) {
      case Type::And: return left->eval(rec) && right->eval(rec);
      case Type::Or: return left->eval(rec) || right->eval(rec);
      case Type::Not: return !left->eval(rec);
      case Type::Compare: break;
    }
    if (field < 0 || static_cast<std::size_t>(field) >= rec.size()) return false;
    std::optional<Scalar> a = ScalarOf(rec[field], fold);
    std::optional<Scalar> b = literal;
    if (other >= 0) {
      if (static_cast<std::size_t>(other) >= rec.size()) return false;
      b = ScalarOf(rec[other], fold);
    }
    if (!a || !b) {  // a blank equals only a blank and differs from all else
      const bool bothBlank = !a && !b;
      return op == Op::Eq ? bothBlank : op == Op::Ne && !bothBlank;
    }
    if (prefix) {
      bool starts = a->text.compare(0, b->text.size(), b->text) == 0;
      return op == Op::Eq ? starts : !starts;
    }
    return Compare(*a, *b, op);
  }
};

bool RecordFilter::matches(const std::vector<Value>& record) const {
  return !root_ || root_->eval(record);
}

namespace {

struct Token {
  enum class Type { Name, Bracket, String, Number, Op, LParen, RParen, End } type;
  std::string text;
  std::size_t column = 0;  // 1-based
};

class Parser {
 public:
  Parser(const std::string& text, const std::vector<FieldDesc>& fields,
         const FilterOptions& options)
      : text_(text), fields_(fields), options_(options) {}

  Result run(std::shared_ptr<const RecordFilter::Node>& root) {
    if (Result r = tokenize()) return r;
    if (tokens_.front().type == Token::Type::End) return Ok;  // blank: everything passes
    if (Result r = parseOr(root)) return r;
    if (peek().type != Token::Type::End) return fail(peek(), "expected and, or or the end");
    return Ok;
  }

 private:
  using NodePtr = std::shared_ptr<const RecordFilter::Node>;
  using Node = RecordFilter::Node;

  Result fail(std::size_t column, const std::string& what) {
    std::string where = column > text_.size() ? "at the end" : "at column " + std::to_string(column);
    return Fail(ErrInvalidFilter, "Filter \"" + text_ + "\": " + what + " " + where);
  }
  Result fail(const Token& t, const std::string& what) { return fail(t.column, what); }

  Result tokenize() {
    std::size_t i = 0;
    const std::size_t n = text_.size();
    while (true) {
      while (i < n && std::isspace(static_cast<unsigned char>(text_[i]))) ++i;
      Token t{Token::Type::End, "", i + 1};
      if (i == n) {
        tokens_.push_back(t);
        return Ok;
      }
      char ch = text_[i];
      auto isWord = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '#' || c == '$' ||
               static_cast<unsigned char>(c) >= 0x80;
      };
      if (ch == '(' || ch == ')') {
        t.type = ch == '(' ? Token::Type::LParen : Token::Type::RParen;
        t.text = ch;
        ++i;
      } else if (ch == '\'') {
        t.type = Token::Type::String;
        for (++i;; ++i) {
          if (i == n) return fail(t, "text without its closing quote");
          if (text_[i] == '\'') {
            if (i + 1 < n && text_[i + 1] == '\'') {
              t.text += '\'';
              ++i;
              continue;
            }
            ++i;
            break;
          }
          t.text += text_[i];
        }
      } else if (ch == '[') {
        t.type = Token::Type::Bracket;
        std::size_t close = text_.find(']', i);
        if (close == std::string::npos) return fail(t, "field name without its closing ]");
        t.text = text_.substr(i + 1, close - i - 1);
        i = close + 1;
      } else if (std::strchr("=<>!", ch)) {
        t.type = Token::Type::Op;
        t.text = ch;
        ++i;
        if (i < n && (text_[i] == '=' || (ch == '<' && text_[i] == '>'))) t.text += text_[i++];
        if (t.text == "!") return fail(t, "\"!\" is not an operator (use <> or not)");
      } else if (std::isdigit(static_cast<unsigned char>(ch)) ||
                 ((ch == '-' || ch == '+' || ch == '.') && i + 1 < n &&
                  (std::isdigit(static_cast<unsigned char>(text_[i + 1])) || text_[i + 1] == '.'))) {
        t.type = Token::Type::Number;
        const char* start = text_.c_str() + i;
        char* end = nullptr;
        std::strtod(start, &end);
        if (end == start) return fail(t, "malformed number");
        t.text.assign(start, static_cast<std::size_t>(end - start));
        i += t.text.size();
        if (i < n && isWord(text_[i])) return fail(i + 1, "malformed number");
      } else if (isWord(ch)) {
        t.type = Token::Type::Name;
        while (i < n && isWord(text_[i])) t.text += text_[i++];
      } else {
        return fail(t, std::string("unexpected character '") + ch + "'");
      }
      tokens_.push_back(std::move(t));
    }
  }

  const Token& peek() const { return tokens_[pos_]; }
  const Token& next() { return tokens_[pos_ < tokens_.size() - 1 ? pos_++ : pos_]; }

  bool isKeyword(const Token& t, const char* word) const {
    if (t.type != Token::Type::Name || t.text.size() != std::strlen(word)) return false;
    for (std::size_t i = 0; i < t.text.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(t.text[i])) != word[i]) return false;
    return true;
  }

  static NodePtr Join(Node::Type type, NodePtr left, NodePtr right) {
    auto n = std::make_shared<Node>();
    n->type = type;
    n->left = std::move(left);
    n->right = std::move(right);
    return n;
  }

  Result parseOr(NodePtr& out) {
    if (Result r = parseAnd(out)) return r;
    while (isKeyword(peek(), "or")) {
      next();
      NodePtr right;
      if (Result r = parseAnd(right)) return r;
      out = Join(Node::Type::Or, out, right);
    }
    return Ok;
  }

  Result parseAnd(NodePtr& out) {
    if (Result r = parseNot(out)) return r;
    while (isKeyword(peek(), "and")) {
      next();
      NodePtr right;
      if (Result r = parseNot(right)) return r;
      out = Join(Node::Type::And, out, right);
    }
    return Ok;
  }

  Result parseNot(NodePtr& out) {
    if (isKeyword(peek(), "not")) {
      next();
      NodePtr inner;
      if (Result r = parseNot(inner)) return r;
      out = Join(Node::Type::Not, inner, nullptr);
      return Ok;
    }
    if (peek().type == Token::Type::LParen) {
      next();
      if (Result r = parseOr(out)) return r;
      if (peek().type != Token::Type::RParen) return fail(peek(), "expected )");
      next();
      return Ok;
    }
    return parseComparison(out);
  }

  // A field (its index) or a literal token.
  struct Operand {
    int field = -1;
    Token token;
  };

  Result parseOperand(Operand& o) {
    const Token& t = next();
    o.token = t;
    switch (t.type) {
      case Token::Type::String:
      case Token::Type::Number:
        return Ok;
      case Token::Type::Name:
        if (isKeyword(t, "null") || isKeyword(t, "true") || isKeyword(t, "false")) return Ok;
        if (isKeyword(t, "and") || isKeyword(t, "or") || isKeyword(t, "not"))
          return fail(t, "expected a field or a value, found \"" + t.text + "\"");
        [[fallthrough]];
      case Token::Type::Bracket:
        o.field = findField(t.text);
        if (o.field < 0) return fail(t, "the table has no field \"" + t.text + "\"");
        if (KindOf(fields_[o.field].type) == Kind::None)
          return fail(t, "field \"" + fields_[o.field].name + "\" cannot be compared");
        return Ok;
      case Token::Type::End:
        return fail(t, "expected a field or a value");
      default:
        return fail(t, "expected a field or a value, found \"" + t.text + "\"");
    }
  }

  int findField(const std::string& name) const {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      const std::string& f = fields_[i].name;
      if (f.size() != name.size()) continue;
      bool same = true;
      for (std::size_t k = 0; k < f.size() && same; ++k)
        same = std::tolower(static_cast<unsigned char>(f[k])) ==
               std::tolower(static_cast<unsigned char>(name[k]));
      if (same) return static_cast<int>(i);
    }
    return -1;
  }

  static Op Mirror(Op op) {
    switch (op) {
      case Op::Lt: return Op::Gt;
      case Op::Gt: return Op::Lt;
      case Op::Le: return Op::Ge;
      case Op::Ge: return Op::Le;
      default: return op;
    }
  }

  Result parseComparison(NodePtr& out) {
    Operand a, b;
    if (Result r = parseOperand(a)) return r;
    const Token op = next();
    static const std::pair<const char*, Op> kOps[] = {{"=", Op::Eq},  {"==", Op::Eq},
                                                      {"<>", Op::Ne},
                                                      {"!=", Op::Ne}, {"<", Op::Lt},
                                                      {">", Op::Gt},  {"<=", Op::Le},
                                                      {">=", Op::Ge}};
    std::optional<Op> which;
    if (op.type == Token::Type::Op)
      for (const auto& [text, o] : kOps)
        if (op.text == text) which = o;
    if (!which) return fail(op, "expected a comparison operator (= <> < > <= >=)");
    if (Result r = parseOperand(b)) return r;
    if (a.field < 0 && b.field < 0) return fail(a.token, "a comparison needs a field");
    auto n = std::make_shared<Node>();
    n->fold = options_.caseInsensitive;
    n->op = *which;
    if (a.field < 0) {  // 'x' < Field reads as Field > 'x'
      std::swap(a, b);
      n->op = Mirror(n->op);
    }
    n->field = a.field;
    if (b.field >= 0) {
      if (KindOf(fields_[a.field].type) != KindOf(fields_[b.field].type))
        return fail(b.token, "fields \"" + fields_[a.field].name + "\" and \"" +
                                 fields_[b.field].name + "\" hold different kinds of values");
      n->other = b.field;
    } else if (Result r = literal(*n, fields_[a.field], b.token)) {
      return r;
    }
    out = n;
    return Ok;
  }

  // Converts the literal for the field's kind of values.
  Result literal(Node& n, const FieldDesc& f, const Token& t) {
    const Kind kind = KindOf(f.type);
    const std::string& s = t.text;
    auto wrong = [&](const std::string& what) {
      return fail(t, "\"" + s + "\" is not " + what + " for field \"" + f.name + "\"");
    };
    if (isKeyword(t, "null") || (kind == Kind::Text && t.type == Token::Type::String && s.empty())) {
      if (n.op != Op::Eq && n.op != Op::Ne) return fail(t, "NULL is compared only with = or <>");
      n.literal.reset();
      return Ok;
    }
    Scalar v;
    switch (kind) {
      case Kind::Text: {
        if (t.type == Token::Type::Name) return wrong("a text (put texts in single quotes)");
        v.isText = true;
        v.text = s;
        if (options_.caseInsensitive)
          for (char& ch : v.text)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (!options_.noPartialCompare && t.type == Token::Type::String && v.text.ends_with('*') &&
            (n.op == Op::Eq || n.op == Op::Ne)) {
          v.text.pop_back();
          n.prefix = true;
        }
        break;
      }
      case Kind::Number: {
        char* end = nullptr;
        v.number = std::strtod(s.c_str(), &end);
        if (s.empty() || *end != '\0' || t.type == Token::Type::Name) return wrong("a number");
        break;
      }
      case Kind::Logical: {
        std::string l;
        for (char ch : s) l += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (l == "true" || l == "t" || l == "yes") v.number = 1;
        else if (l == "false" || l == "f" || l == "no") v.number = 0;
        else return wrong("true or false");
        break;
      }
      case Kind::Date:
      case Kind::Time:
      case Kind::Timestamp: {
        if (t.type != Token::Type::String) return wrong("a date or time in quotes");
        std::optional<double> when = ParseWhen(kind, s);
        if (!when)
          return wrong(kind == Kind::Date   ? "a date (YYYY-MM-DD or M/D/YYYY)"
                       : kind == Kind::Time ? "a time (HH:MM[:SS])"
                                            : "a timestamp (YYYY-MM-DD [HH:MM[:SS]])");
        v.number = *when;
        break;
      }
      case Kind::None:
        return wrong("comparable");
    }
    n.literal = v;
    return Ok;
  }

  static std::optional<int> Number(const std::string& s, std::size_t& i, std::size_t maxDigits) {
    std::size_t start = i;
    int n = 0;
    while (i < s.size() && i - start < maxDigits && std::isdigit(static_cast<unsigned char>(s[i])))
      n = n * 10 + (s[i++] - '0');
    if (i == start) return std::nullopt;
    return n;
  }

  static std::optional<double> ParseDate(const std::string& s, std::size_t& i) {
    std::size_t at = i;
    auto a = Number(s, at, 4);
    if (!a || at >= s.size()) return std::nullopt;
    char sep = s[at];
    if (sep != '-' && sep != '/') return std::nullopt;
    ++at;
    auto b = Number(s, at, 2);
    if (!b || at >= s.size() || s[at] != sep) return std::nullopt;
    ++at;
    auto c = Number(s, at, 4);
    if (!c) return std::nullopt;
    int year = *a, month = *b, day = *c;
    if (sep == '/') {  // M/D/YYYY
      year = *c;
      month = *a;
      day = *b;
    }
    if (month < 1 || month > 12 || day < 1 || year < 1) return std::nullopt;
    std::int32_t number = DayNumber(year, month, day);
    int y, m, d;
    SplitDayNumber(number, y, m, d);
    if (y != year || m != month || d != day) return std::nullopt;  // 2024-02-30
    i = at;
    return number;
  }

  static std::optional<double> ParseTime(const std::string& s, std::size_t& i) {
    std::size_t at = i;
    auto h = Number(s, at, 2);
    if (!h || at >= s.size() || s[at] != ':') return std::nullopt;
    ++at;
    auto m = Number(s, at, 2);
    if (!m) return std::nullopt;
    int sec = 0, ms = 0;
    if (at < s.size() && s[at] == ':') {
      ++at;
      auto sv = Number(s, at, 2);
      if (!sv) return std::nullopt;
      sec = *sv;
      if (at < s.size() && s[at] == '.') {
        ++at;
        std::size_t start = at;
        auto f = Number(s, at, 3);
        if (!f) return std::nullopt;
        ms = *f;
        for (std::size_t k = at - start; k < 3; ++k) ms *= 10;
      }
    }
    if (*h > 23 || *m > 59 || sec > 59) return std::nullopt;
    i = at;
    return ((*h * 60.0 + *m) * 60 + sec) * 1000 + ms;
  }

  static std::optional<double> ParseWhen(Kind kind, const std::string& s) {
    std::size_t i = 0;
    std::optional<double> v;
    if (kind == Kind::Time) {
      v = ParseTime(s, i);
    } else {
      v = ParseDate(s, i);
      if (v && kind == Kind::Timestamp) {
        double ms = *v * 86400000.0;
        if (i < s.size() && (s[i] == ' ' || s[i] == 'T')) {
          ++i;
          std::optional<double> t = ParseTime(s, i);
          if (!t) return std::nullopt;
          ms += *t;
        }
        v = ms;
      }
    }
    if (!v || i != s.size()) return std::nullopt;
    return v;
  }

  const std::string& text_;
  const std::vector<FieldDesc>& fields_;
  const FilterOptions& options_;
  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
};

}  // namespace

Result RecordFilter::Compile(const std::string& text, const std::vector<FieldDesc>& fields,
                             const FilterOptions& options, RecordFilter& out) {
  std::shared_ptr<const Node> root;
  Parser parser(text, fields, options);
  if (Result r = parser.run(root)) return r;
  out.root_ = std::move(root);
  return Ok;
}

}  // namespace engine
