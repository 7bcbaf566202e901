#include "model/cluster_table.h"

#include <algorithm>
#include <string>

namespace tamsu {
namespace {

// Splits `text` on every non-overlapping occurrence of `separator`, left to
// right, dropping empty pieces. An empty separator splits into characters
// (UTF-8 code points), since it occurs between any two of them.
std::vector<std::string> split_on_separator(const std::string &text,
                                            const std::string &separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) {
    for (std::size_t i = 0; i < text.size();) {
      std::size_t len = 1;
      while (i + len < text.size() &&
             (static_cast<unsigned char>(text[i + len]) & 0xC0) == 0x80) {
        ++len;
      }
      pieces.push_back(text.substr(i, len));
      i += len;
    }
    return pieces;
  }
  std::size_t start = 0;
  while (true) {
    std::size_t found = text.find(separator, start);
    std::size_t end = found == std::string::npos ? text.size() : found;
    if (end > start) pieces.push_back(text.substr(start, end - start));
    if (found == std::string::npos) break;
    start = found + separator.size();
  }
  return pieces;
}

}  // namespace

ClusterTable build_cluster_table(const fst::SymbolTable &symbols) {
  ClusterTable table;
  const auto size = static_cast<std::int64_t>(symbols.NumSymbols());
  if (size < 2) return table;
  const std::string separator = symbols.Find(int64_t{1});
  for (std::int64_t i = 2; i < size; ++i) {
    const auto label = static_cast<Label>(i);
    const std::string text = symbols.Find(i);
    LabelList parts;
    if (separator.empty() || text.find(separator) != std::string::npos) {
      for (const std::string &piece : split_on_separator(text, separator)) {
        const auto part = symbols.Find(piece);
        if (part != fst::kNoSymbol) parts.push_back(static_cast<Label>(part));
      }
    } else {
      parts.push_back(label);
    }
    table.max_parts = std::max(table.max_parts, parts.size());
    table.parts_to_label[parts] = label;  // a later (higher) label wins
    table.label_to_parts.emplace(label, std::move(parts));
  }
  return table;
}

}  // namespace tamsu
