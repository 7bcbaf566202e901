// Helpers shared by the decoding tests: symbol tables, models and FSTs
// built in code.
#ifndef TAMSU_TESTS_CPP_DECODE_TEST_UTIL_H_
#define TAMSU_TESTS_CPP_DECODE_TEST_UTIL_H_

#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <fst/symbol-table.h>
#include <fst/vector-fst.h>

#include "model/cluster_table.h"
#include "base/labels.h"
#include "model/model.h"

namespace tamsu::test {

// A table whose label i has the text texts[i].
inline std::shared_ptr<fst::SymbolTable> make_symbols(const std::vector<std::string> &texts) {
  auto table = std::make_shared<fst::SymbolTable>();
  for (std::size_t i = 0; i < texts.size(); ++i) table->AddSymbol(texts[i], i);
  return table;
}

// A file name in the test folder that no other test process uses.
inline std::string temp_path(const std::string &name) {
  return testing::TempDir() + "tamsu-" + std::to_string(::getpid()) + "-" +
         name;
}

// One model arc, its labels given as symbol texts.
struct TextArc {
  int from;
  std::string in, out;
  float weight;
  int to;
};
using FinalState = std::pair<int, float>;

// A model as load_model would leave it: arcs sorted by input label, both
// tables attached to the FST and shared with the record, cluster tables
// built, veto set {0, 1, 2}, search planned. State 0 is the start state.
inline std::unique_ptr<Model> make_model(const std::vector<std::string> &isyms,
                                         const std::vector<std::string> &osyms,
                                         int num_states,
                                         const std::vector<TextArc> &arcs,
                                         const std::vector<FinalState> &finals,
                                         const std::string &delim = "") {
  auto model = std::make_unique<Model>();
  const auto in = make_symbols(isyms), out = make_symbols(osyms);
  for (int s = 0; s < num_states; ++s) model->fst.AddState();
  model->fst.SetStart(0);
  for (const TextArc &arc : arcs) {
    const auto i = in->Find(arc.in), o = out->Find(arc.out);
    if (i < 0 || o < 0) throw std::invalid_argument(arc.in + ":" + arc.out);
    model->fst.AddArc(arc.from, fst::StdArc(i, o, arc.weight, arc.to));
  }
  for (const auto &[state, weight] : finals) model->fst.SetFinal(state, weight);
  model->fst.SetInputSymbols(in.get());
  model->fst.SetOutputSymbols(out.get());
  sort_arcs_by_input_label(model->fst);
  model->delim = delim;
  derive_tables(*model);
  return model;
}

// Every arc as (state, ilabel, olabel, weight, nextstate), in stored order.
using ArcRow = std::tuple<int, int, int, float, int>;

inline std::vector<ArcRow> arc_rows(const fst::StdVectorFst &fst) {
  std::vector<ArcRow> rows;
  for (int s = 0; s < fst.NumStates(); ++s) {
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done(); it.Next()) {
      const auto &a = it.Value();
      rows.emplace_back(s, a.ilabel, a.olabel, a.weight.Value(), a.nextstate);
    }
  }
  return rows;
}

}  // namespace tamsu::test

#endif  // TAMSU_TESTS_CPP_DECODE_TEST_UTIL_H_
