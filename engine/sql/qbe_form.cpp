#include "engine/sql/qbe_form.h"

#include <algorithm>
#include <cctype>

namespace engine::qbe {

void ThrowSyntax(int line, const std::string& token, const std::string& what) {
  throw SyntaxError{line, token, what};
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string> SplitTop(const std::string& s, char sep, bool nested) {
  std::vector<std::string> parts(1);
  bool quoted = false;
  int depth = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (quoted && c == '\\' && i + 1 < s.size()) {
      parts.back() += c;
      c = s[++i];
    } else if (c == '"') {
      quoted = !quoted;
    } else if (nested && !quoted && c == '(') {
      ++depth;
    } else if (nested && !quoted && c == ')' && depth > 0) {
      --depth;
    } else if (!quoted && depth == 0 && c == sep) {
      parts.emplace_back();
      continue;
    }
    parts.back() += c;
  }
  return parts;
}

std::string Unquote(const std::string& s) {
  std::string t = Trim(s);
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') return t.substr(1, t.size() - 2);
  return t;
}

namespace {

struct Line {
  int number;
  std::string text;
};

std::vector<Line> SplitLines(const std::string& text) {
  std::vector<Line> lines;
  size_t start = 0;
  int number = 1;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back({number++, line});
    start = end + 1;
  }
  return lines;
}

std::string FirstWord(const std::string& s) {
  std::string t = Trim(s);
  size_t end = t.find_first_of(" \t|:,");
  return t.substr(0, end == 0 ? 1 : end);
}

// "NAME:" at the start of a header line; gives the rest after the colon.
bool HeaderLine(const std::string& text, const std::string& name, std::string& rest) {
  std::string t = Trim(text);
  if (t.size() <= name.size() || Lower(t.substr(0, name.size())) != Lower(name)) return false;
  if (t[name.size()] != ':') return false;
  rest = Trim(t.substr(name.size() + 1));
  return true;
}

std::vector<FieldRef> ReadRefs(const std::string& text, int line) {
  std::vector<FieldRef> refs;
  for (const std::string& part : SplitTop(text, ',')) {
    std::string t = Trim(part);
    if (t.empty()) continue;
    size_t arrow = t.find("->");
    if (arrow == std::string::npos) ThrowSyntax(line, t, "a field is written table->\"Field\"");
    FieldRef ref{Unquote(t.substr(0, arrow)), Unquote(t.substr(arrow + 2)), line, t};
    if (ref.table.empty() || ref.field.empty()) ThrowSyntax(line, t, "a field is written table->\"Field\"");
    refs.push_back(ref);
  }
  return refs;
}

// The cells of a block line; the `|` that closes the line ends no cell.
std::vector<std::string> Cells(const std::string& text) {
  std::vector<std::string> cells = SplitTop(text, '|');
  if (cells.size() > 1 && Trim(cells.back()).empty()) cells.pop_back();
  for (std::string& c : cells) c = Trim(c);
  return cells;
}

std::string Keyword(const std::string& cell, int line) {
  static const char* known[] = {"", "insert", "delete", "check", "checkplus", "checkdescending"};
  std::string k = Lower(cell);
  for (const char* w : known)
    if (k == w) return k;
  ThrowSyntax(line, cell, "not a keyword for the first column (Insert, Delete or a check mark)");
}

struct Block {
  std::string table;
  std::vector<std::string> fields;
  std::vector<Row> rows;
};

class Reader {
 public:
  explicit Reader(const std::string& text) : lines_(SplitLines(text)) {}
  Form Read();

 private:
  void ReadBlock();
  void AddBlock(Block block);
  void ReadRefLine(const std::string& rest, std::vector<FieldRef>& refs);
  bool More() const { return at_ < lines_.size(); }

  std::vector<Line> lines_;
  size_t at_ = 0;
  Form form_;
  size_t lastBlockStart_ = 0;  // first row of the block before, in form_.rows
  bool lastWasBlock_ = false;
};

Form Reader::Read() {
  while (More() && Trim(lines_[at_].text).empty()) ++at_;
  if (!More()) ThrowSyntax(lines_.back().number, "", "the text holds no query");
  if (Lower(Trim(lines_[at_].text)) != "query")
    ThrowSyntax(lines_[at_].number, FirstWord(lines_[at_].text), "a query begins with the line Query");
  ++at_;
  form_.answer = ":PRIV:ANSWER.DB";
  while (More()) {
    const Line& line = lines_[at_];
    std::string rest;
    if (Trim(line.text).empty()) {
      ++at_;
    } else if (Lower(Trim(line.text)) == "endquery") {
      for (Row& row : form_.rows) {
        row.cells.resize(row.fields.size());
        row.cellLines.resize(row.fields.size(), row.line);
      }
      return form_;
    } else if (HeaderLine(line.text, "ANSWER", rest)) {
      if (rest.empty()) ThrowSyntax(line.number, "ANSWER:", "the answer table has no name");
      form_.answer = Unquote(rest);
      ++at_, lastWasBlock_ = false;
    } else if (HeaderLine(line.text, "OPTIONS", rest)) {
      form_.options.push_back(rest);
      ++at_, lastWasBlock_ = false;
    } else if (HeaderLine(line.text, "SORT", rest)) {
      ReadRefLine(rest, form_.sort);
    } else if (HeaderLine(line.text, "FIELDORDER", rest)) {
      ReadRefLine(rest, form_.fieldOrder);
    } else if (line.text.find('|') != std::string::npos) {
      ReadBlock();
    } else {
      ThrowSyntax(line.number, FirstWord(line.text), "not a line of a query");
    }
  }
  ThrowSyntax(lines_.back().number, "", "the query has no EndQuery line");
}

// A SORT or FIELDORDER list may go on over lines that hold further fields.
void Reader::ReadRefLine(const std::string& rest, std::vector<FieldRef>& refs) {
  int number = lines_[at_].number;
  std::string text = rest;
  ++at_;
  while (More()) {
    const std::string& next = lines_[at_].text;
    if (Trim(next).empty() || next.find('|') != std::string::npos || next.find("->") == std::string::npos)
      break;
    std::string r;
    if (HeaderLine(next, "SORT", r) || HeaderLine(next, "FIELDORDER", r) || HeaderLine(next, "ANSWER", r) ||
        HeaderLine(next, "OPTIONS", r))
      break;
    text += ", " + next;
    ++at_;
  }
  std::vector<FieldRef> read = ReadRefs(text, number);
  refs.insert(refs.end(), read.begin(), read.end());
  lastWasBlock_ = false;
}

void Reader::ReadBlock() {
  const Line& header = lines_[at_++];
  std::vector<std::string> cells = Cells(header.text);
  Block block;
  block.table = Unquote(cells[0]);
  if (block.table.empty()) ThrowSyntax(header.number, "|", "a table block begins with the table's name");
  for (size_t i = 1; i < cells.size(); ++i) {
    std::string name = Unquote(cells[i]);
    if (name.empty()) ThrowSyntax(header.number, "|", "a field of the table has no name");
    block.fields.push_back(name);
  }
  while (More() && lines_[at_].text.find('|') != std::string::npos) {
    const Line& line = lines_[at_++];
    std::vector<std::string> row = Cells(line.text);
    if (row.size() > block.fields.size() + 1)
      ThrowSyntax(line.number, row[block.fields.size() + 1], "more cells than the table block has fields");
    Row r{block.table, Keyword(row[0], line.number), line.number, block.fields, {}, {}};
    for (size_t i = 1; i <= block.fields.size(); ++i) r.cells.push_back(i < row.size() ? row[i] : "");
    r.cellLines.assign(block.fields.size(), line.number);
    block.rows.push_back(r);
  }
  AddBlock(std::move(block));
}

bool Overlaps(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  for (const std::string& x : a)
    for (const std::string& y : b)
      if (Lower(x) == Lower(y)) return true;
  return false;
}

// A block of the same table right after the one before it, naming further
// fields, goes on with that block's rows, row by row.
void Reader::AddBlock(Block block) {
  std::vector<Row>& rows = form_.rows;
  bool continues = lastWasBlock_ && lastBlockStart_ < rows.size() &&
                   Lower(rows[lastBlockStart_].table) == Lower(block.table) &&
                   !Overlaps(rows[lastBlockStart_].fields, block.fields);
  lastWasBlock_ = true;
  if (!continues) {
    lastBlockStart_ = rows.size();
    for (Row& r : block.rows) rows.push_back(std::move(r));
    return;
  }
  std::vector<std::string> before = rows[lastBlockStart_].fields;
  for (size_t i = 0; i < block.rows.size(); ++i) {
    Row& part = block.rows[i];
    if (lastBlockStart_ + i >= rows.size()) {
      Row r{part.table, part.keyword, part.line, before, std::vector<std::string>(before.size()),
            std::vector<int>(before.size(), part.line)};
      rows.push_back(r);
    }
    Row& row = rows[lastBlockStart_ + i];
    if (!part.keyword.empty() && !row.keyword.empty() && part.keyword != row.keyword)
      ThrowSyntax(part.line, part.keyword, "the continued row has another keyword");
    if (row.keyword.empty()) row.keyword = part.keyword;
    row.cells.resize(row.fields.size());
    row.cellLines.resize(row.fields.size(), row.line);
    row.fields.insert(row.fields.end(), part.fields.begin(), part.fields.end());
    row.cells.insert(row.cells.end(), part.cells.begin(), part.cells.end());
    row.cellLines.insert(row.cellLines.end(), part.cellLines.begin(), part.cellLines.end());
  }
  for (size_t i = lastBlockStart_ + block.rows.size(); i < rows.size(); ++i) {
    rows[i].fields.insert(rows[i].fields.end(), block.fields.begin(), block.fields.end());
    rows[i].cells.resize(rows[i].fields.size());
    rows[i].cellLines.resize(rows[i].fields.size(), rows[i].line);
  }
}

}  // namespace

Form ReadForm(const std::string& text) {
  Form form = Reader(text).Read();
  std::erase_if(form.rows, [](const Row& r) {
    return r.keyword.empty() && std::all_of(r.cells.begin(), r.cells.end(), [](const std::string& c) { return c.empty(); });
  });
  return form;
}

}  // namespace engine::qbe
