#include "cli/text_table.h"

#include <algorithm>

namespace camcal {

std::string TextTable::render(const std::string& indent) const {
  std::vector<size_t> widths;
  for (const auto& row : rows_) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  std::string out;
  for (const auto& row : rows_) {
    std::string line = indent;
    for (size_t c = 0; c < row.size(); ++c) {
      const std::string padding(widths[c] - row[c].size(), ' ');
      if (c > 0) line += "  ";
      const bool left = c < alignment_.size() && alignment_[c] == 'l';
      line += left ? row[c] + padding : padding + row[c];
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out += line + "\n";
  }
  return out;
}

}  // namespace camcal
