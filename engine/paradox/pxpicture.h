// Pictures: the templates a validity check holds for the text of a field.
//
//   #  a digit                      ?  a letter
//   &  a letter, made uppercase     ~  a letter, made lowercase
//   @  any character                !  any character, made uppercase
//   ;c the character c itself (";#" is a literal '#')
//   *n item   exactly n repetitions of the item ("*3#", "*3{#}")
//   *item     any number of repetitions, none included ("*#", "*{ab}")
//   [a,b]     optional: a, b, or nothing
//   {a,b}     one of a or b (alternatives hold sequences: "{Yes,No}")
//   ,         separates alternatives, also at the top level ("Yes,No");
//             a literal comma is written ";,"
// Every other character stands for itself; letters among them match
// either case and are stored as the picture writes them. A value matches
// when the whole of it matches; constants are not filled in for the user.
#pragma once

#include <memory>
#include <string>

namespace engine::paradox {

class Picture {
 public:
  Picture();
  ~Picture();
  Picture(Picture&&) noexcept;
  Picture& operator=(Picture&&) noexcept;

  // Parses a picture (UTF-8). On failure returns false and says why.
  bool parse(const std::string& picture, std::string& error);
  // Matches a UTF-8 value; on success `converted` is the value with the
  // picture's case conversions and literal spellings applied.
  bool match(const std::string& value, std::string& converted) const;
  const std::string& text() const { return text_; }

  struct Node;

 private:
  std::string text_;
  std::unique_ptr<Node> root_;
};

}  // namespace engine::paradox
