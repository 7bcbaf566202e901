// Maps between cluster symbols ("a|b") and the labels of their parts,
// derived once from a symbol table when a model is loaded.
#ifndef TAMSU_MODEL_CLUSTER_TABLE_H_
#define TAMSU_MODEL_CLUSTER_TABLE_H_

#include <cstddef>
#include <unordered_map>

#include <fst/symbol-table.h>

#include "base/labels.h"

namespace tamsu {

struct ClusterTable {
  // Every label from 2 up: its part labels, or itself alone for a
  // non-cluster symbol.
  std::unordered_map<Label, LabelList> label_to_parts;
  // The reverse; among labels with equal parts the highest label wins.
  std::unordered_map<LabelList, Label, LabelListHash> parts_to_label;
  // Length of the longest part list, never less than 1.
  std::size_t max_parts = 1;
};

// Splits every symbol text from label 2 up on the separator (the text of
// label 1). The table must have dense labels 0..n-1. Cannot fail.
ClusterTable build_cluster_table(const fst::SymbolTable &symbols);

}  // namespace tamsu

#endif  // TAMSU_MODEL_CLUSTER_TABLE_H_
