#include "engine/sql/sqltext.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace engine::sql {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// Where a comment or blank run starting at `i` ends; `i` when there is none.
std::size_t SkipSpace(const std::string& t, std::size_t i, bool& unterminated) {
  unterminated = false;
  while (i < t.size()) {
    if (std::isspace(static_cast<unsigned char>(t[i]))) {
      ++i;
    } else if (t.compare(i, 2, "--") == 0) {
      const auto e = t.find('\n', i);
      i = e == std::string::npos ? t.size() : e + 1;
    } else if (t.compare(i, 2, "/*") == 0) {
      const auto e = t.find("*/", i + 2);
      if (e == std::string::npos) {
        unterminated = true;
        return t.size();
      }
      i = e + 2;
    } else {
      break;
    }
  }
  return i;
}

bool EndsFromList(const Token& t) {
  static const char* const ends[] = {"WHERE", "GROUP", "ORDER", "HAVING", "LIMIT", "UNION",
                                     "EXCEPT", "INTERSECT", "WINDOW", "ON", "USING", "SET",
                                     "VALUES", "SELECT", "RETURNING", "JOIN"};
  if (t.kind == Token::Symbol) return t.text == ")" || t.text == ";";
  for (const char* e : ends)
    if (t.is(e)) return true;
  return false;
}

}  // namespace

std::string Token::value() const {
  if (kind == DoubleQuoted || kind == SingleQuoted || kind == Bracketed) {
    const char q = text[0];
    std::string out;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
      out += text[i];
      if (q != '[' && text[i] == q && i + 2 < text.size() && text[i + 1] == q) ++i;
    }
    return out;
  }
  return text;
}

bool Token::is(const char* keyword) const {
  return kind == Word && text.size() == std::strlen(keyword) && Upper(text) == keyword;
}

bool Tokenize(const std::string& t, std::vector<Token>& tokens, std::string& error) {
  tokens.clear();
  std::size_t i = 0;
  while (true) {
    bool open = false;
    i = SkipSpace(t, i, open);
    if (open) {
      error = "unterminated comment";
      return false;
    }
    if (i >= t.size()) return true;
    Token tok{Token::Symbol, "", i, i};
    const char c = t[i];
    if (c == '"' || c == '\'' || c == '`' || c == '[') {
      const char close = c == '[' ? ']' : c;
      std::size_t j = i + 1;
      while (true) {
        j = t.find(close, j);
        if (j == std::string::npos) {
          error = std::string("unterminated quote ") + c;
          tok.begin = i;
          return false;
        }
        if (close != ']' && j + 1 < t.size() && t[j + 1] == close) {
          j += 2;
          continue;
        }
        break;
      }
      tok.kind = c == '\'' ? Token::SingleQuoted : c == '[' ? Token::Bracketed : Token::DoubleQuoted;
      tok.end = j + 1;
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '.' && i + 1 < t.size() && std::isdigit(static_cast<unsigned char>(t[i + 1])))) {
      std::size_t j = i;
      while (j < t.size() && (std::isalnum(static_cast<unsigned char>(t[j])) || t[j] == '.')) ++j;
      tok.kind = Token::Number;
      tok.end = j;
    } else if (IsWordChar(c)) {
      std::size_t j = i;
      while (j < t.size() && IsWordChar(t[j])) ++j;
      tok.kind = Token::Word;
      tok.end = j;
    } else {
      static const char* const pairs[] = {"<=", ">=", "<>", "!=", "==", "||", "<<", ">>"};
      tok.end = i + 1;
      for (const char* p : pairs)
        if (t.compare(i, 2, p) == 0) tok.end = i + 2;
    }
    tok.text = t.substr(tok.begin, tok.end - tok.begin);
    tokens.push_back(tok);
    i = tok.end;
  }
}

Header ParseHeader(const std::string& text, std::string& body) {
  Header h;
  body = text;
  const auto start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos || text.compare(start, 2, "/*") != 0) return h;
  const auto end = text.find("*/", start + 2);
  if (end == std::string::npos) return h;
  const std::string inner = text.substr(start + 2, end - start - 2);
  static const char* const keys[] = {"Answer:", "AuxTables:", "Alias:", "LiveAnswer:"};
  // Each key's value runs to the next key or the end of its line.
  std::vector<std::pair<std::size_t, std::string>> found;
  const std::string upper = Upper(inner);
  for (const char* k : keys) {
    const auto at = upper.find(Upper(k));
    if (at != std::string::npos) found.emplace_back(at, k);
  }
  if (found.empty()) return h;
  std::sort(found.begin(), found.end());
  for (std::size_t n = 0; n < found.size(); ++n) {
    const std::size_t from = found[n].first + found[n].second.size();
    std::size_t to = n + 1 < found.size() ? found[n + 1].first : inner.size();
    to = std::min(to, inner.find('\n', from) == std::string::npos ? inner.size() : inner.find('\n', from));
    const std::string value = Trim(inner.substr(from, to - from));
    const std::string key = found[n].second;
    const bool yes = Upper(value) == "TRUE" || Upper(value) == "YES" || value == "1";
    if (key == "Answer:") h.answer = value;
    else if (key == "Alias:") h.alias = value;
    else if (key == "AuxTables:") h.auxTables = yes;
    else h.live = yes;
  }
  h.lines = static_cast<int>(std::count(text.begin(), text.begin() + end + 2, '\n'));
  body = text.substr(end + 2);
  return h;
}

std::vector<TableRef> FindTableRefs(const std::string& text) {
  std::vector<Token> toks;
  std::string error;
  if (!Tokenize(text, toks, error)) return {};  // SQLite reports the error
  std::vector<TableRef> refs;
  auto nameAt = [&](std::size_t i, bool fromList = true) -> bool {
    if (i >= toks.size()) return false;
    const Token& t = toks[i];
    if (t.kind == Token::Symbol || t.kind == Token::Number) return false;
    // A table function or a name followed by "." (schema.table) is left alone.
    if (i + 1 < toks.size() && ((fromList && toks[i + 1].text == "(") || toks[i + 1].text == "."))
      return false;
    refs.push_back({t.value(), t.begin, t.end});
    return true;
  };
  // Depth of parentheses at which a FROM list is open.
  std::vector<int> fromDepths;
  int depth = 0;
  for (std::size_t i = 0; i < toks.size(); ++i) {
    const Token& t = toks[i];
    if (t.text == "(") ++depth;
    if (t.text == ")") {
      while (!fromDepths.empty() && fromDepths.back() >= depth) fromDepths.pop_back();
      --depth;
    }
    if (t.kind != Token::Word && t.text != ",") continue;
    if (t.is("FROM") || t.is("JOIN")) {
      while (!fromDepths.empty() && fromDepths.back() >= depth) fromDepths.pop_back();
      if (t.is("FROM")) fromDepths.push_back(depth);
      nameAt(i + 1);
    } else if (t.is("INTO") || t.is("UPDATE") || t.is("TABLE")) {
      // UPDATE OR REPLACE t / INSERT OR IGNORE INTO t
      std::size_t j = i + 1;
      if (t.is("UPDATE") && j + 1 < toks.size() && toks[j].is("OR")) j += 2;
      if (j < toks.size() && toks[j].is("IF")) j += toks.size() > j + 2 && toks[j + 1].is("NOT") ? 3 : 2;
      nameAt(j, false);
    } else if (t.text == "," && !fromDepths.empty() && fromDepths.back() == depth) {
      nameAt(i + 1);
    } else if (!fromDepths.empty() && fromDepths.back() == depth && EndsFromList(t) && !t.is("JOIN")) {
      if (!t.is("ON") && !t.is("USING")) fromDepths.pop_back();
    }
  }
  std::sort(refs.begin(), refs.end(), [](const TableRef& a, const TableRef& b) { return a.begin < b.begin; });
  refs.erase(std::unique(refs.begin(), refs.end(),
                         [](const TableRef& a, const TableRef& b) { return a.begin == b.begin; }),
             refs.end());
  return refs;
}

std::string QuoteIdentifier(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string TokenAt(const std::string& text, std::size_t offset) {
  std::vector<Token> toks;
  std::string error;
  Tokenize(text.substr(offset), toks, error);
  if (!toks.empty()) return toks.front().text;
  const auto b = text.find_first_not_of(" \t\r\n", offset);
  return b == std::string::npos ? "" : text.substr(b, text.find_first_of(" \t\r\n", b) - b);
}

bool TrimmedEmpty(const std::string& text) {
  std::vector<Token> toks;
  std::string error;
  return Tokenize(text, toks, error) && std::none_of(toks.begin(), toks.end(), [](const Token& t) {
           return t.text != ";";
         });
}

std::string AnswerFieldName(const char* column, int number, std::set<std::string>& used) {
  std::string name;
  for (const char* p = column ? column : ""; *p; ++p)
    if (!std::strchr("()[]{}\"*#", *p)) name += *p == ',' ? ' ' : *p;
  name = Trim(name);
  if (name.empty() || name == "->") name = "Field " + std::to_string(number);
  if (name.size() > 25) name.resize(25);
  std::string candidate = name;
  for (int n = 2; used.count(Upper(candidate)); ++n) {
    const std::string suffix = " " + std::to_string(n);
    candidate = name.substr(0, 25 - suffix.size()) + suffix;
  }
  used.insert(Upper(candidate));
  return candidate;
}

}  // namespace engine::sql
