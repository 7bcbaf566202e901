#include "train/model_fst.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <system_error>

#include <fst/arcsort.h>
#include <fst/properties.h>

#include "diag/cerr_router.h"
#include "train/lexicon.h"

namespace tamsu {
namespace {

using fst::StdArc;

std::string join(const LabelList &ids, const std::vector<std::string> &texts) {
  std::string text;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) text += kSeparatorText;
    text += texts[ids[i]];
  }
  return text;
}

// One side's table: the reserved symbols, singles, then clusters.
class TableBuilder {
 public:
  explicit TableBuilder(const std::string &name)
      : table_(std::make_unique<fst::SymbolTable>(name)) {
    table_->AddSymbol(kEpsilonText, 0);
    table_->AddSymbol(kSeparatorText, 1);
    table_->AddSymbol(kEmptyText, 2);
  }

  void note(const std::string &text, bool cluster) {
    (cluster ? clusters_ : singles_).emplace(text, 0);
  }

  std::unique_ptr<fst::SymbolTable> finish() {
    for (auto *group : {&singles_, &clusters_}) {
      for (auto &[text, label] : *group) {
        label = text == kEmptyText ? 2 : table_->AddSymbol(text);
      }
    }
    return std::move(table_);
  }

  Label label_of(const std::string &text, bool cluster) const {
    return static_cast<Label>((cluster ? clusters_ : singles_).at(text));
  }

 private:
  std::unique_ptr<fst::SymbolTable> table_;
  std::map<std::string, std::int64_t> singles_, clusters_;
};

}  // namespace

ModelSymbols build_model_symbols(
    const std::vector<Chunk> &chunks,
    const std::vector<std::string> &grapheme_texts,
    const std::vector<std::string> &phoneme_texts,
    const std::vector<std::string> &input_markers) {
  TableBuilder input("graphemes"), output("phonemes");
  for (const Chunk &chunk : chunks) {
    // Every part of a cluster is a symbol too: the decoder builds cluster
    // arcs from runs of single-grapheme labels.
    for (Label g : chunk.graphemes) input.note(grapheme_texts[g], false);
    for (Label p : chunk.phonemes) output.note(phoneme_texts[p], false);
    if (chunk.graphemes.size() > 1) {
      input.note(join(chunk.graphemes, grapheme_texts), true);
    }
    if (chunk.phonemes.size() > 1) {
      output.note(join(chunk.phonemes, phoneme_texts), true);
    }
  }
  ModelSymbols symbols;
  symbols.isyms = input.finish();
  for (const std::string &marker : input_markers) {
    symbols.isyms->AddSymbol(marker);
  }
  symbols.osyms = output.finish();
  symbols.token_labels.reserve(chunks.size());
  for (const Chunk &chunk : chunks) {
    const Label ilabel = input.label_of(join(chunk.graphemes, grapheme_texts),
                                        chunk.graphemes.size() > 1);
    const Label olabel =
        chunk.phonemes.empty()
            ? 2
            : output.label_of(join(chunk.phonemes, phoneme_texts),
                              chunk.phonemes.size() > 1);
    symbols.token_labels.emplace_back(ilabel, olabel);
  }
  return symbols;
}

Expected<std::unique_ptr<fst::StdVectorFst>, TrainError> build_model_fst(
    const NgramModel &model, const ModelSymbols &symbols) {
  const auto &nodes = model.nodes;
  // A history becomes a state when it predicts something itself; any
  // other n-gram is represented by its longest suffix that is a state.
  std::vector<StdArc::StateId> state_of(nodes.size(), fst::kNoStateId);
  std::vector<std::uint32_t> kept_children(nodes.size(), 0);
  for (std::uint32_t id = 1; id < nodes.size(); ++id) {
    if (nodes[id].kept) ++kept_children[nodes[id].parent];
  }
  auto fst = std::make_unique<fst::StdVectorFst>();
  for (std::uint32_t id = 0; id < nodes.size(); ++id) {
    if (id == 0 || (nodes[id].kept && kept_children[id] > 0)) {
      state_of[id] = fst->AddState();
    }
  }
  auto state_for = [&](std::uint32_t id) {
    while (state_of[id] == fst::kNoStateId) id = nodes[id].suffix;
    return state_of[id];
  };

  for (std::uint32_t id = 0; id < nodes.size(); ++id) {
    const StdArc::StateId state = state_of[id];
    if (state == fst::kNoStateId) continue;
    const auto &node = nodes[id];
    fst->ReserveArcs(state, kept_children[id] + 1);
    if (id != 0) {
      fst->AddArc(state, StdArc(0, 0, static_cast<float>(-node.log_backoff),
                                state_for(node.suffix)));
    }
    for (std::uint32_t i = 0; i < node.child_count; ++i) {
      const std::uint32_t child_id = model.children[node.first_child + i];
      const auto &child = nodes[child_id];
      if (!child.kept) continue;
      const auto weight = static_cast<float>(-child.log_prob);
      if (child.token == model.end_token()) {
        fst->SetFinal(state, weight);
      } else if (child.token < model.vocabulary) {
        const auto [ilabel, olabel] = symbols.token_labels[child.token];
        fst->AddArc(state, StdArc(ilabel, olabel, weight, state_for(child_id)));
      }
    }
  }
  const std::uint32_t start = find_child(model, 0, model.start_token());
  fst->SetStart(start == kNoNode ? state_of[0] : state_for(start));
  fst->SetInputSymbols(symbols.isyms.get());
  fst->SetOutputSymbols(symbols.osyms.get());

  CerrCapture log;
  fst::ArcSort(fst.get(), fst::ILabelCompare<StdArc>());
  if (fst->Properties(fst::kError, false) != 0) {
    return make_unexpected(make_train_error(
        TrainError::Kind::kFstFailed,
        "OpenFst failed to build the model: " + log.text()));
  }
  return fst;
}

namespace {

constexpr int kMaxSymlinkHops = 40;  // as the kernel's ELOOP limit

// Where a write to `path` must land: the file a chain of symbolic links
// leads to (even one that does not exist yet), so that the links stay.
// Empty with `error` set when the chain does not end.
std::filesystem::path follow_links(const std::string &path,
                                   std::error_code &error) {
  std::filesystem::path target = path;
  for (int hops = 0;; ++hops) {
    if (!std::filesystem::is_symlink(
            std::filesystem::symlink_status(target, error))) {
      error.clear();  // a missing target is fine: it is created
      return target;
    }
    if (hops == kMaxSymlinkHops) {
      error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
      return {};
    }
    const std::filesystem::path link =
        std::filesystem::read_symlink(target, error);
    if (error) return {};
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
}

// Creates a file of a new name next to `target` with the permissions a new
// file gets (0666 less the umask), never touching an existing file. Returns
// its name, or an empty path with errno set.
std::filesystem::path create_temporary(const std::filesystem::path &target) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  // Leaves room for the decoration within a 255-byte file name.
  const std::string base = target.filename().string().substr(0, 200);
  std::mt19937_64 random(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = "." + base + ".";
    for (int i = 0; i < 8; ++i) name += kLetters[random() % 36];
    const std::filesystem::path temporary =
        target.parent_path() / (name + ".tmp");
    const int fd = ::open(temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return temporary;
    }
    if (errno != EEXIST) return {};
  }
  errno = EEXIST;
  return {};
}

}  // namespace

Expected<std::uint64_t, TrainError> write_model_fst(
    const fst::StdVectorFst &fst, const std::string &path) {
  auto failed = [&](const std::string &reason, int os_error = 0) {
    TrainError error = make_train_error(
        TrainError::Kind::kWriteFailed,
        "cannot write the model to " + path + ": " + reason);
    error.os_error = os_error;
    return make_unexpected(std::move(error));
  };
  // A system call's failure, its errno kept for the caller.
  auto failed_call = [&] {
    const int os_error = errno;
    return failed(std::strerror(os_error), os_error);
  };
  std::error_code error;
  const std::filesystem::path target = follow_links(path, error);
  if (error) return failed(error.message(), error.value());
  // Renaming over a FIFO or a device would replace it; writing into one
  // would not make a model file.
  const auto status = std::filesystem::status(target, error);
  if (std::filesystem::exists(status) &&
      !std::filesystem::is_regular_file(status)) {
    return failed("it exists and is not a regular file");
  }
  const std::filesystem::path temporary = create_temporary(target);
  if (temporary.empty()) return failed_call();
  // Whatever happens from here on, only a complete model replaces the
  // target, and the temporary file never stays behind.
  struct RemoveUnlessKept {
    const std::filesystem::path &name;
    bool keep = false;
    ~RemoveUnlessKept() {
      if (!keep) ::unlink(name.c_str());
    }
  } cleanup{temporary};
  std::uint64_t size = 0;
  {
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    if (!stream) return failed_call();
    CerrCapture log;
    fst::FstWriteOptions options(path);
    const bool written = fst.Write(stream, options);
    stream.flush();
    if (!written || !stream) {
      return failed(log.text().empty() ? std::string("write error")
                                       : log.text());
    }
    size = static_cast<std::uint64_t>(stream.tellp());
  }
  // On disk before the rename, so that a crash leaves the old model or the
  // new one, never an empty file under the target's name.
  const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    const int os_error = errno;
    if (fd >= 0) ::close(fd);
    return failed(std::strerror(os_error), os_error);
  }
  ::close(fd);
  if (std::rename(temporary.c_str(), target.c_str()) != 0) {
    return failed_call();
  }
  cleanup.keep = true;
  return size;
}

}  // namespace tamsu
