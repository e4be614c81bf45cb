// Aligned columns for the plain-text output of the subcommands.
#pragma once

#include <string>
#include <vector>

namespace camcal {

class TextTable {
 public:
  void addRow(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
  // One letter per column, 'l' (left) or 'r' (right); columns beyond the
  // string are right-aligned. The default, "l", suits a name followed by
  // numbers.
  void setAlignment(std::string alignment) { alignment_ = std::move(alignment); }
  // One line per row, each starting with indent, columns two blanks apart.
  // Trailing blanks are dropped.
  std::string render(const std::string& indent) const;

 private:
  std::vector<std::vector<std::string>> rows_;
  std::string alignment_ = "l";
};

}  // namespace camcal
