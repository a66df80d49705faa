// What one cell of an example row says: check mark, example elements,
// conditions, calculated fields and new values.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace engine::qbe {

enum class Mark { None, Check, CheckPlus, CheckDescending };

struct Expr;
using ExprPtr = std::shared_ptr<Expr>;

struct Expr {
  enum Kind { Number, Text, Pattern, Date, Today, Element, Negate, Binary } kind = Text;
  std::string text;  // number as written, text, pattern, ISO date, element name (lower case) or operator
  ExprPtr left, right;
};

struct Condition {
  enum Kind { Compare, Like, Blank, NotBlank, Not, Or } kind = Compare;
  std::string op;  // of Compare: = < > <= >= <>
  ExprPtr value;   // of Compare and Like
  std::vector<Condition> parts;  // of Not (one) and Or
};

struct Calc {
  enum Aggregate { None, Sum, Count, Average, Min, Max } aggregate = None;
  bool distinct = false;  // count unique values (count's default), sum unique ...
  ExprPtr expr;           // of a calculation (no aggregate)
  std::string name;       // as the answer names it; empty: the default name
  std::string text;       // the expression as written
};

struct ElementUse {
  std::string name;  // lower case, with its underscore
  bool outer = false;  // written with `!`: every row of this table is kept
};

struct Cell {
  Mark mark = Mark::None;
  std::string checkName;  // `as` name of the checked field
  std::vector<ElementUse> elements;  // elements standing alone in the cell
  std::vector<Condition> conditions;
  std::vector<Calc> calcs;
  ExprPtr changeTo;
  bool Empty() const {
    return mark == Mark::None && elements.empty() && conditions.empty() && calcs.empty() && !changeTo;
  }
};

Cell ReadCell(const std::string& text, int line);

// The example elements an expression or condition refers to.
void ElementsOf(const ExprPtr& e, std::vector<std::string>& out);
void ElementsOf(const Condition& c, std::vector<std::string>& out);

}  // namespace engine::qbe
