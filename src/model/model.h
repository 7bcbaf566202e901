// The loaded pronunciation model: the arc-sorted transducer, its symbol
// tables and the tables derived from them. Built once, then only read.
#ifndef TAMSU_MODEL_MODEL_H_
#define TAMSU_MODEL_MODEL_H_

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include <fst/symbol-table.h>
#include <fst/vector-fst.h>

#include "base/expected.h"
#include "base/labels.h"
#include "diag/cerr_router.h"  // configure_openfst(), needed before loading
#include "model/cluster_table.h"
#include "model/search_plan.h"

namespace tamsu {

struct Model {
  fst::StdVectorFst fst;  // sorted by input label, property recorded
  // Shared with `fst` and with every acceptor and lattice built from it.
  std::shared_ptr<const fst::SymbolTable> isyms;
  std::shared_ptr<const fst::SymbolTable> osyms;
  ClusterTable input_clusters;
  ClusterTable output_clusters;
  std::unordered_set<Label> veto_set;  // {0, 1, 2}: never phoneme labels
  // Each output label's phonemes (its parts, vetoed labels left out),
  // flattened for the decoding loop: label l writes
  // phonemes[phoneme_begin[l], phoneme_begin[l + 1]).
  std::vector<std::uint32_t> phoneme_begin;
  LabelList phonemes;
  std::string delim;                   // splits words into pieces when set
  // Whether lattices of this model may take the specialised search.
  SearchPlan search_plan;
};

struct ModelLoadError {
  enum class Kind { kReadFailed, kMissingSymbolTable, kNanWeight };
  Kind kind;
  // kReadFailed: the reader's description. kMissingSymbolTable: "input"
  // or "output". kNanWeight: the path and where the NaN is.
  std::string detail;
  // kReadFailed: the system's error number when the file could not be
  // opened or read (see FileError), else 0.
  int os_error = 0;
};

// Reads an OpenFst binary vector FST with standard arcs and both symbol
// tables from a regular file (anything else is refused before a read). A damaged file never crashes: it is rejected with kReadFailed.
// Nothing is written to standard error.
Expected<std::unique_ptr<const Model>, ModelLoadError> load_model(
    const std::string &path, const std::string &delim);

// Fills every table derived from `model.fst`, whose arcs must be sorted by
// input label and which must carry both symbol tables: the shared symbol
// tables, the cluster tables, the veto set, the phoneme index and the
// search plan. Cannot fail.
void derive_tables(Model &model);

// Sorts every state's arcs by input label alone, keeping the file order of
// equal labels, and records the sort in the stored properties as OpenFst's
// ArcSort does.
void sort_arcs_by_input_label(fst::StdVectorFst &fst);

// The user-facing message of a load error.
std::string describe(const ModelLoadError &error);

}  // namespace tamsu

#endif  // TAMSU_MODEL_MODEL_H_
