#include "model/model.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <istream>
#include <sstream>
#include <streambuf>
#include <string_view>
#include <vector>

#include <fst/properties.h>

#include "base/regular_file.h"
#include "diag/cerr_router.h"
#include "model/fst_trust.h"
#include "model/model_file_check.h"

namespace tamsu {
namespace {

using StdArc = fst::StdArc;

Unexpected<ModelLoadError> read_failed(std::string description) {
  return make_unexpected(ModelLoadError{ModelLoadError::Kind::kReadFailed,
                                        std::move(description)});
}

// OpenFst's log lines ("ERROR: ...\n") as one description.
std::string describe_log(const std::string &log) {
  std::string description;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    for (const char *level : {"ERROR: ", "WARNING: ", "FATAL: "}) {
      if (line.rfind(level, 0) == 0) {
        line.erase(0, std::strlen(level));
        break;
      }
    }
    if (!description.empty()) description += "; ";
    description += line;
  }
  return description;
}

// OpenFst accepts arcs to states that do not exist and an out-of-range
// start state; composition would then read past its state vector.
std::optional<std::string> find_dangling_state(const fst::StdVectorFst &fst,
                                               const std::string &path) {
  const auto num_states = fst.NumStates();
  const auto start = fst.Start();
  if (start != fst::kNoStateId && (start < 0 || start >= num_states)) {
    return path + ": start state " + std::to_string(start) +
           " does not exist (the FST has " + std::to_string(num_states) +
           " states)";
  }
  for (StdArc::StateId s = 0; s < num_states; ++s) {
    std::size_t position = 0;
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done();
         it.Next(), ++position) {
      const auto next = it.Value().nextstate;
      if (next < 0 || next >= num_states) {
        return path + ": arc " + std::to_string(position) + " of state " +
               std::to_string(s) + " leads to state " + std::to_string(next) +
               ", which does not exist (the FST has " +
               std::to_string(num_states) + " states)";
      }
    }
  }
  return std::nullopt;
}

// A read-only, seekable stream buffer over bytes it does not own: OpenFst
// reads the file's bytes where they lie instead of from a copy.
class ViewBuffer : public std::streambuf {
 public:
  explicit ViewBuffer(std::string_view bytes) {
    char *begin = const_cast<char *>(bytes.data());  // never written
    setg(begin, begin, begin + bytes.size());
  }

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode mode) override {
    if (mode & std::ios_base::out) return pos_type(off_type(-1));
    const off_type base = direction == std::ios_base::beg   ? 0
                          : direction == std::ios_base::cur ? gptr() - eback()
                                                            : egptr() - eback();
    const off_type target = base + offset;
    if (target < 0 || target > egptr() - eback()) return pos_type(off_type(-1));
    setg(eback(), eback() + target, egptr());
    return pos_type(target);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode mode) override {
    return seekoff(off_type(position), std::ios_base::beg, mode);
  }
};

Expected<std::unique_ptr<fst::StdVectorFst>, ModelLoadError> read_fst(
    const std::string &path) {
  auto file = RegularFile::open(path);
  if (!file) {
    const FileError &error = file.error();
    return make_unexpected(ModelLoadError{
        ModelLoadError::Kind::kReadFailed,
        error.os_error == 0 && path.find('\0') != std::string::npos
            ? "Can't open file: " + error.detail
            : "Can't open file: " + path + " (" + error.detail + ")",
        error.os_error});
  }
  std::string bytes(file->size(), '\0');
  if (auto read = file->read_all(bytes.data()); !read) {
    return make_unexpected(ModelLoadError{
        ModelLoadError::Kind::kReadFailed,
        "Read failed: " + path + " (" + read.error().detail + ")",
        read.error().os_error});
  }
  if (auto defect = check_model_file(bytes, path)) return read_failed(*defect);

  CerrCapture capture;
  std::unique_ptr<fst::StdVectorFst> fst;
  try {
    ViewBuffer view(bytes);
    std::istream stream(&view);
    fst.reset(fst::StdVectorFst::Read(stream, fst::FstReadOptions(path)));
  } catch (const std::bad_alloc &) {
    throw;  // the binding turns this into MemoryError
  } catch (const std::exception &e) {
    return read_failed(path + ": " + e.what());
  }
  // A symbol table that fails to parse is logged but the read "succeeds".
  const std::string log = describe_log(capture.text());
  if (!fst || !log.empty()) {
    return read_failed(log.empty() ? path + ": unreadable FST" : log);
  }
  if (auto dangling = find_dangling_state(*fst, path)) {
    return read_failed(*dangling);
  }
  if (auto nan = find_nan_weight(*fst, path)) {
    return make_unexpected(
        ModelLoadError{ModelLoadError::Kind::kNanWeight, std::move(*nan)});
  }
  if (auto defect = make_fst_safe_to_decode(*fst, path)) {
    return read_failed(*defect);
  }
  return fst;
}

}  // namespace

void sort_arcs_by_input_label(fst::StdVectorFst &fst) {
  const std::uint64_t properties = fst.Properties(fst::kFstProperties, false);
  std::vector<StdArc> arcs;
  for (StdArc::StateId s = 0; s < fst.NumStates(); ++s) {
    const std::size_t num_arcs = fst.NumArcs(s);
    if (num_arcs < 2) continue;
    arcs.clear();
    arcs.reserve(num_arcs);
    for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done(); it.Next()) {
      arcs.push_back(it.Value());
    }
    const auto by_input_label = [](const StdArc &a, const StdArc &b) {
      return a.ilabel < b.ilabel;
    };
    if (std::is_sorted(arcs.begin(), arcs.end(), by_input_label)) continue;
    std::stable_sort(arcs.begin(), arcs.end(), by_input_label);
    std::size_t i = 0;
    for (fst::MutableArcIterator<fst::StdVectorFst> it(&fst, s); !it.Done();
         it.Next()) {
      it.SetValue(arcs[i++]);
    }
  }
  // The same property update as OpenFst's ArcSort with ILabelCompare.
  fst.SetProperties((properties & fst::kArcSortProperties) |
                        fst::kILabelSorted |
                        (properties & fst::kAcceptor ? fst::kOLabelSorted : 0),
                    fst::kFstProperties);
}

void derive_tables(Model &model) {
  // Copies share the table's implementation with the FST's own tables.
  model.isyms.reset(model.fst.InputSymbols()->Copy());
  model.osyms.reset(model.fst.OutputSymbols()->Copy());
  model.input_clusters = build_cluster_table(*model.isyms);
  model.output_clusters = build_cluster_table(*model.osyms);
  model.veto_set = {0, 1, 2};
  const auto &parts_of = model.output_clusters.label_to_parts;
  const auto num_labels = static_cast<Label>(model.osyms->NumSymbols());
  model.phoneme_begin.assign(1, 0);
  model.phonemes.clear();
  for (Label label = 0; label < num_labels; ++label) {
    const auto found = parts_of.find(label);
    if (found != parts_of.end()) {
      for (Label part : found->second) {
        if (model.veto_set.count(part) == 0) model.phonemes.push_back(part);
      }
    }
    model.phoneme_begin.push_back(static_cast<std::uint32_t>(model.phonemes.size()));
  }
  model.search_plan = plan_search(model.fst);
}

Expected<std::unique_ptr<const Model>, ModelLoadError> load_model(
    const std::string &path, const std::string &delim) {
  auto fst = read_fst(path);
  if (!fst) return make_unexpected(fst.error());
  auto model = std::make_unique<Model>();
  model->fst = *fst.value();
  // Drop the reader's handle so that sorting mutates the only copy.
  fst.value().reset();
  sort_arcs_by_input_label(model->fst);

  const fst::SymbolTable *isyms = model->fst.InputSymbols();
  if (!isyms) {
    return make_unexpected(
        ModelLoadError{ModelLoadError::Kind::kMissingSymbolTable, "input"});
  }
  const fst::SymbolTable *osyms = model->fst.OutputSymbols();
  if (!osyms) {
    return make_unexpected(
        ModelLoadError{ModelLoadError::Kind::kMissingSymbolTable, "output"});
  }
  model->delim = delim;
  derive_tables(*model);
  return std::unique_ptr<const Model>(std::move(model));
}

std::string describe(const ModelLoadError &error) {
  switch (error.kind) {
    case ModelLoadError::Kind::kReadFailed:
    case ModelLoadError::Kind::kNanWeight:
      return "failed to read FST: " + error.detail;
    case ModelLoadError::Kind::kMissingSymbolTable:
      return "FST is missing " + error.detail + " symbol table";
  }
  return "failed to read FST";
}

}  // namespace tamsu
