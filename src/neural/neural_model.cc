#include "neural/neural_model.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "base/regular_file.h"

namespace tamsu {
namespace {

constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kChecksumSize = 4;
// Generous bounds that keep every product below 2^64 and every table
// small next to the data it describes.
constexpr std::uint32_t kMaxWidth = 1u << 16;
constexpr std::uint32_t kMaxLayers = 256;
constexpr std::uint32_t kMaxNameLength = 256;
// Trained weights lie within a few units; within this bound no product or
// sum of the forward pass, at the widest and deepest sizes the header
// allows, leaves float32's range, so every score stays finite. (The LSTM
// needs less: its cells' outputs, the attentional vectors and the context
// lie within [-1, 1] whatever the weights, and a cell's c grows by at most
// 1 a step.)
constexpr float kMaxWeight = 1e4f;

using Error = NeuralLoadError;
using Kind = NeuralLoadError::Kind;

Unexpected<Error> fail(Kind kind, std::string detail) {
  return make_unexpected(Error{kind, std::move(detail)});
}

// Reads fields from the bytes between the header and the checksum; every
// read is bounded by what is left.
class Reader {
 public:
  Reader(std::string_view bytes, std::size_t begin, std::size_t end)
      : bytes_(bytes), position_(begin), end_(end) {}

  std::size_t position() const { return position_; }
  std::size_t left() const { return end_ - position_; }

  bool u32(std::uint32_t &out) { return fixed(out); }
  bool u64(std::uint64_t &out) { return fixed(out); }
  bool text(std::uint32_t length, std::string &out) {
    if (length > left()) return false;
    out.assign(bytes_.substr(position_, length));
    position_ += length;
    return true;
  }
  bool skip_to(std::size_t position) {
    if (position < position_ || position > end_) return false;
    position_ = position;
    return true;
  }

 private:
  template <class T>
  bool fixed(T &out) {
    if (sizeof(T) > left()) return false;
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      value |= static_cast<T>(static_cast<unsigned char>(
                   bytes_[position_ + i]))
               << (8 * i);
    }
    out = value;
    position_ += sizeof(T);
    return true;
  }

  std::string_view bytes_;
  std::size_t position_;
  std::size_t end_;
};

struct TensorEntry {
  std::vector<std::uint32_t> shape;
  std::uint64_t offset;  // in floats
};

// Whether `text` is well-formed UTF-8 (no overlong form, surrogate or code
// point beyond U+10FFFF) free of spaces and control characters: a symbol
// with a space, tab or newline would split a pronunciation printed as text,
// and one that is not UTF-8 would print like another.
bool printable_symbol(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead <= 0x20 || lead == 0x7f) return false;
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xc2 && lead <= 0xdf ? 2
                             : lead >= 0xe0 && lead <= 0xef ? 3
                             : lead >= 0xf0 && lead <= 0xf4 ? 4 : 0;
    if (length == 0 || length > text.size() - i) return false;
    std::uint32_t code = length == 1 ? lead : lead & (0x7f >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if (next >> 6 != 2) return false;
      code = code << 6 | (next & 0x3f);
    }
    constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10ffff ||
        (code >= 0xd800 && code <= 0xdfff) || (code >= 0x80 && code < 0xa0)) {
      return false;
    }
    i += length;
  }
  return true;
}

// `space`: whether a symbol may be a single space (a grapheme may: words
// of a lexicon can hold spaces; a phoneme never, since pronunciations are
// written separated by spaces).
Expected<std::vector<std::string>, Error> read_symbols(
    Reader &reader, std::uint32_t count, const char *table, bool space,
    std::unordered_map<std::string, Label> &ids) {
  std::vector<std::string> symbols;
  // Each symbol takes at least 5 bytes: a count beyond that is a lie.
  if (count > reader.left() / 5) {
    return fail(Kind::kBadHeader, std::string("the ") + table +
                                      " count " + std::to_string(count) +
                                      " exceeds the file size");
  }
  symbols.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = 0;
    if (!reader.u32(length) || length == 0 ||
        !reader.text(length, symbols[i])) {
      return fail(Kind::kBadSymbols, std::string(table) + " " +
                                         std::to_string(i) +
                                         ": bad length " +
                                         std::to_string(length));
    }
    if (!printable_symbol(symbols[i]) && !(space && symbols[i] == " ")) {
      return fail(Kind::kBadSymbols,
                  std::string(table) + " " + std::to_string(i) +
                      " holds a space, a control character or bytes that "
                      "are not UTF-8");
    }
    if (!ids.emplace(symbols[i], static_cast<Label>(i)).second) {
      return fail(Kind::kBadSymbols, std::string(table) + " '" +
                                         symbols[i] + "' appears twice");
    }
  }
  return symbols;
}

std::string shape_text(const std::vector<std::uint32_t> &shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + "]";
}

// Hands out the weights the architecture needs, checking each tensor's
// name and shape; afterwards no tensor may be left over.
class TensorBinder {
 public:
  TensorBinder(std::unordered_map<std::string, TensorEntry> entries,
               const float *data, std::vector<std::vector<float>> &packed)
      : entries_(std::move(entries)), data_(data), packed_(packed) {}

  // A linear map's weights [out, in], packed (see NeuralModel::packed).
  const float *take_linear(const std::string &name, std::uint32_t out,
                           std::uint32_t in) {
    const float *weights = take(name, {out, in});
    if (weights == nullptr) return nullptr;
    constexpr std::size_t kPanel = kPanelWidth, kAlign = 64 / sizeof(float);
    const std::size_t panels = (out + kPanel - 1) / kPanel;
    std::vector<float> &storage =
        packed_.emplace_back(panels * kPanel * in + kAlign, 0.0f);
    float *packed = storage.data();
    packed += (kAlign - reinterpret_cast<std::uintptr_t>(packed) / sizeof(float) %
                            kAlign) % kAlign;
    for (std::size_t o = 0; o < out; ++o) {
      float *panel = packed + o / kPanel * kPanel * in + o % kPanel;
      for (std::size_t k = 0; k < in; ++k) {
        panel[k * kPanel] = weights[o * in + k];
      }
    }
    return packed;
  }

  const float *take(const std::string &name,
                    std::vector<std::uint32_t> shape) {
    if (!error_.empty()) return nullptr;
    auto found = entries_.find(name);
    if (found == entries_.end()) {
      error_ = "missing tensor " + name;
      return nullptr;
    }
    if (found->second.shape != shape) {
      error_ = "tensor " + name + " has shape " +
               shape_text(found->second.shape) + ", expected " +
               shape_text(shape);
      return nullptr;
    }
    const float *pointer = data_ + found->second.offset;
    std::size_t count = 1;
    for (std::uint32_t dimension : shape) count *= dimension;
    for (std::size_t i = 0; i < count; ++i) {
      if (!std::isfinite(pointer[i])) {
        kind_ = Kind::kNonFiniteWeight;
        error_ = "tensor " + name + " holds NaN or infinity";
        return nullptr;
      }
      if (std::fabs(pointer[i]) > kMaxWeight) {
        kind_ = Kind::kHugeWeight;
        error_ = "tensor " + name + " holds " + std::to_string(pointer[i]);
        return nullptr;
      }
    }
    entries_.erase(found);
    return pointer;
  }
  NormWeights norm(const std::string &prefix, std::uint32_t d) {
    return {take(prefix + ".weight", {d}), take(prefix + ".bias", {d})};
  }
  AttentionWeights attention(const std::string &prefix, std::uint32_t d) {
    AttentionWeights a{};
    a.q_weight = take_linear(prefix + ".q.weight", d, d);
    a.q_bias = take(prefix + ".q.bias", {d});
    a.k_weight = take_linear(prefix + ".k.weight", d, d);
    a.k_bias = take(prefix + ".k.bias", {d});
    a.v_weight = take_linear(prefix + ".v.weight", d, d);
    a.v_bias = take(prefix + ".v.bias", {d});
    a.o_weight = take_linear(prefix + ".o.weight", d, d);
    a.o_bias = take(prefix + ".o.bias", {d});
    return a;
  }
  FeedForwardWeights feed_forward(const std::string &prefix, std::uint32_t d,
                                  std::uint32_t f) {
    return {take_linear(prefix + ".ff1.weight", f, d), take(prefix + ".ff1.bias", {f}),
            take_linear(prefix + ".ff2.weight", d, f), take(prefix + ".ff2.bias", {d})};
  }
  // An LSTM cell of width n over inputs of width m: PyTorch's nn.LSTM
  // tensors of layer `layer`, with `suffix` ("" or "_reverse").
  LstmCellWeights lstm_cell(const std::string &prefix, std::uint32_t layer,
                            const char *suffix, std::uint32_t n,
                            std::uint32_t m) {
    const std::string tail = "_l" + std::to_string(layer) + suffix;
    return {take_linear(prefix + ".weight_ih" + tail, 4 * n, m),
            take_linear(prefix + ".weight_hh" + tail, 4 * n, n),
            take(prefix + ".bias_ih" + tail, {4 * n}),
            take(prefix + ".bias_hh" + tail, {4 * n})};
  }
  // The first problem met, or the first unexpected tensor; empty if none.
  Kind kind() const { return kind_; }
  std::string problem() const {
    if (!error_.empty()) return error_;
    if (!entries_.empty()) return "unexpected tensor " + entries_.begin()->first;
    return "";
  }

 private:
  std::unordered_map<std::string, TensorEntry> entries_;
  const float *data_;
  std::vector<std::vector<float>> &packed_;
  Kind kind_ = Kind::kWrongTensors;
  std::string error_;
};

TransformerWeights bind_transformer(const NeuralModel &model,
                                    TensorBinder &binder) {
  const std::uint32_t d = model.hyper.d_model;
  const std::uint32_t f = model.hyper.d_ff;
  const auto g = static_cast<std::uint32_t>(model.graphemes.size());
  const auto p = static_cast<std::uint32_t>(model.phonemes.size());
  TransformerWeights w{};
  w.encoder_embedding = binder.take("enc.embed", {g, d});
  w.decoder_embedding = binder.take("dec.embed", {p, d});
  for (std::uint32_t l = 0; l < model.hyper.encoder_layers; ++l) {
    const std::string prefix = "enc." + std::to_string(l);
    w.encoder.push_back({binder.norm(prefix + ".norm1", d),
                         binder.attention(prefix + ".attn", d),
                         binder.norm(prefix + ".norm2", d),
                         binder.feed_forward(prefix, d, f)});
  }
  w.encoder_norm = binder.norm("enc.norm", d);
  for (std::uint32_t l = 0; l < model.hyper.decoder_layers; ++l) {
    const std::string prefix = "dec." + std::to_string(l);
    w.decoder.push_back({binder.norm(prefix + ".norm1", d),
                         binder.attention(prefix + ".self", d),
                         binder.norm(prefix + ".norm2", d),
                         binder.attention(prefix + ".cross", d),
                         binder.norm(prefix + ".norm3", d),
                         binder.feed_forward(prefix, d, f)});
  }
  w.decoder_norm = binder.norm("dec.norm", d);
  w.output_weight = binder.take_linear("out.weight", p, d);
  w.output_bias = binder.take("out.bias", {p});
  return w;
}

// The widths fit: check_header bounds H and E by kMaxWidth, so 4H and
// E + H stay far below 2^32.
LstmWeights bind_lstm(const NeuralModel &model, TensorBinder &binder) {
  const std::uint32_t hidden = model.hyper.d_model;
  const std::uint32_t half = hidden / 2;
  const std::uint32_t embedding = model.hyper.d_ff;
  const auto g = static_cast<std::uint32_t>(model.graphemes.size());
  const auto p = static_cast<std::uint32_t>(model.phonemes.size());
  LstmWeights w{};
  w.encoder_embedding = binder.take("enc.embed", {g, embedding});
  w.decoder_embedding = binder.take("dec.embed", {p, embedding});
  for (std::uint32_t l = 0; l < model.hyper.encoder_layers; ++l) {
    const std::uint32_t in = l == 0 ? embedding : hidden;
    w.encoder_forward.push_back(binder.lstm_cell("enc.lstm", l, "", half, in));
    w.encoder_reverse.push_back(
        binder.lstm_cell("enc.lstm", l, "_reverse", half, in));
  }
  for (std::uint32_t l = 0; l < model.hyper.decoder_layers; ++l) {
    const std::uint32_t in = l == 0 ? embedding + hidden : hidden;
    w.decoder.push_back(binder.lstm_cell("dec.lstm", l, "", hidden, in));
  }
  w.attention_weight = binder.take_linear("attn.weight", hidden, hidden);
  w.combine_weight = binder.take_linear("comb.weight", hidden, 2 * hidden);
  w.combine_bias = binder.take("comb.bias", {hidden});
  w.output_weight = binder.take_linear("out.weight", p, hidden);
  w.output_bias = binder.take("out.bias", {p});
  return w;
}

// The first decoder layer's input term of each phoneme's embedding, with
// the layer's biases, [P, 4H] (LstmWeights::phoneme_gates): computed once
// here rather than in every pass, where it costs what scoring a few words
// does.
void add_phoneme_gates(NeuralModel &model) {
  LstmWeights &w = model.lstm_weights;
  const std::size_t hidden = model.hyper.d_model;
  const std::size_t embedding = model.hyper.d_ff;
  const std::size_t in = embedding + hidden, out = 4 * hidden;
  const LstmCellWeights &cell = w.decoder[0];
  std::vector<float> &gates =
      model.packed.emplace_back(model.phonemes.size() * out);
  for (std::size_t p = 0; p < model.phonemes.size(); ++p) {
    const float *vector = w.decoder_embedding + p * embedding;
    for (std::size_t o = 0; o < out; ++o) {
      // Input k's weight of output o in the packed panels (kernel.h).
      const float *weights = cell.input_weight +
                             o / kPanelWidth * kPanelWidth * in +
                             o % kPanelWidth;
      float sum = cell.input_bias[o] + cell.hidden_bias[o];
      for (std::size_t k = 0; k < embedding; ++k) {
        sum += vector[k] * weights[k * kPanelWidth];
      }
      gates[p * out + o] = sum;
    }
  }
  w.phoneme_gates = gates.data();
}

Expected<bool, Error> check_header(const NeuralHyperParameters &h,
                                   std::uint32_t form,
                                   std::uint32_t direction) {
  auto bad = [](std::string what) { return fail(Kind::kBadHeader, what); };
  if (h.architecture != kTransformerArchitecture &&
      h.architecture != kLstmArchitecture) {
    return bad("unknown architecture " + std::to_string(h.architecture));
  }
  if (h.d_model == 0 || h.d_model > kMaxWidth || h.d_ff == 0 ||
      h.d_ff > kMaxWidth) {
    return bad("model widths " + std::to_string(h.d_model) + " and " +
               std::to_string(h.d_ff) + " out of range");
  }
  if (h.architecture == kLstmArchitecture) {
    // The encoder's two directions are half the hidden width each.
    if (h.d_model % 2 != 0) {
      return bad("the LSTM's hidden width " + std::to_string(h.d_model) +
                 " is odd");
    }
    if (h.heads != 1) {
      return bad("the LSTM has one attention head, not " +
                 std::to_string(h.heads));
    }
  } else if (h.heads == 0 || h.d_model % h.heads != 0) {
    return bad(std::to_string(h.heads) + " heads do not divide d_model " +
               std::to_string(h.d_model));
  }
  if (h.encoder_layers == 0 || h.encoder_layers > kMaxLayers ||
      h.decoder_layers == 0 || h.decoder_layers > kMaxLayers) {
    return bad("layer counts out of range");
  }
  if (form > 2) return bad("unknown grapheme form " + std::to_string(form));
  if (direction > 1) {
    return bad("unknown direction " + std::to_string(direction));
  }
  return true;
}

}  // namespace

std::uint32_t crc32(const char *bytes, std::size_t size) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = 0; i < size; ++i) {
    crc = table[(crc ^ static_cast<unsigned char>(bytes[i])) & 0xff] ^ (crc >> 8);
  }
  return crc ^ 0xffffffffu;
}

namespace {

// Parses the file's bytes, image[0 .. size) read as chars, and keeps
// `image` as the model's storage: the weights point into it, so the data
// section is never copied.
Expected<NeuralModel, NeuralLoadError> parse_image(std::vector<float> image,
                                                   std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char *>(image.data()),
                               size);
  if (bytes.size() < kHeaderSize + kChecksumSize) {
    return fail(Kind::kTruncated, std::to_string(bytes.size()) + " bytes");
  }
  if (std::memcmp(bytes.data(), kNeuralMagic, sizeof kNeuralMagic) != 0) {
    return fail(Kind::kBadMagic, "");
  }
  const std::size_t end = bytes.size() - kChecksumSize;
  Reader header(bytes, sizeof kNeuralMagic, end);
  std::uint32_t version = 0;
  header.u32(version);
  if (version != kNeuralFormatVersion) {
    return fail(Kind::kUnsupportedVersion, std::to_string(version));
  }
  std::uint32_t stored = 0;
  Reader(bytes, end, bytes.size()).u32(stored);
  if (stored != crc32(bytes.data(), end)) {
    return fail(Kind::kChecksumMismatch, "");
  }

  NeuralModel model;
  NeuralHyperParameters &h = model.hyper;
  std::uint32_t form = 0, direction = 0, num_graphemes = 0, num_phonemes = 0,
                num_tensors = 0;
  std::uint64_t num_floats = 0;
  // The fixed header fits: the size was checked above.
  header.u32(h.architecture);
  header.u32(h.d_model);
  header.u32(h.heads);
  header.u32(h.d_ff);
  header.u32(h.encoder_layers);
  header.u32(h.decoder_layers);
  header.u32(form);
  header.u32(direction);
  header.u32(num_graphemes);
  header.u32(num_phonemes);
  header.u32(num_tensors);
  header.u64(num_floats);
  auto checked = check_header(h, form, direction);
  if (!checked) return make_unexpected(checked.error());
  model.form = static_cast<GraphemeForm>(form);
  model.direction = static_cast<Direction>(direction);
  if (num_floats > header.left() / sizeof(float)) {
    return fail(Kind::kBadHeader, "the data size " +
                                      std::to_string(num_floats) +
                                      " floats exceeds the file size");
  }

  auto graphemes = read_symbols(header, num_graphemes, "grapheme",
                                /*space=*/true, model.grapheme_ids);
  if (!graphemes) return make_unexpected(graphemes.error());
  model.graphemes = std::move(graphemes.value());
  auto phonemes = read_symbols(header, num_phonemes, "phoneme",
                               /*space=*/false, model.phoneme_ids);
  if (!phonemes) return make_unexpected(phonemes.error());
  model.phonemes = std::move(phonemes.value());
  if (model.graphemes.size() < 2 || model.graphemes[0] != "<pad>") {
    return fail(Kind::kBadSymbols,
                "grapheme 0 must be <pad>, followed by graphemes");
  }
  if (model.phonemes.size() <= kFirstPhoneme ||
      model.phonemes[kPadPhoneme] != "<pad>" ||
      model.phonemes[kStartPhoneme] != "<s>" ||
      model.phonemes[kEndPhoneme] != "</s>") {
    return fail(Kind::kBadSymbols,
                "phonemes 0, 1, 2 must be <pad>, <s>, </s>, followed by "
                "phonemes");
  }

  // Each entry takes at least 20 bytes.
  if (num_tensors > header.left() / 20) {
    return fail(Kind::kBadHeader, "the tensor count " +
                                      std::to_string(num_tensors) +
                                      " exceeds the file size");
  }
  std::unordered_map<std::string, TensorEntry> entries;
  for (std::uint32_t i = 0; i < num_tensors; ++i) {
    std::uint32_t length = 0, rank = 0;
    std::string name;
    TensorEntry entry;
    auto bad = [&](const std::string &what) {
      return fail(Kind::kBadTensorTable,
                  "tensor " + std::to_string(i) +
                      (name.empty() ? "" : " (" + name + ")") + ": " + what);
    };
    if (!header.u32(length) || length == 0 || length > kMaxNameLength ||
        !header.text(length, name)) {
      return bad("bad name length " + std::to_string(length));
    }
    if (!header.u32(rank) || rank < 1 || rank > 2) {
      return bad("rank " + std::to_string(rank));
    }
    std::uint64_t count = 1;
    for (std::uint32_t r = 0; r < rank; ++r) {
      std::uint32_t dimension = 0;
      if (!header.u32(dimension) || dimension == 0 ||
          dimension > num_floats / count) {
        return bad("dimension " + std::to_string(dimension) +
                   " exceeds the data");
      }
      count *= dimension;
      entry.shape.push_back(dimension);
    }
    if (!header.u64(entry.offset) || entry.offset > num_floats - count) {
      return bad("data offset out of range");
    }
    if (!entries.emplace(name, std::move(entry)).second) {
      return bad("name appears twice");
    }
  }
  const std::size_t data_begin = (header.position() + 3) / 4 * 4;
  if (!header.skip_to(data_begin) ||
      header.left() != num_floats * sizeof(float)) {
    return fail(Kind::kBadTensorTable,
                "the data section does not end at the checksum");
  }
  // The format is little-endian; so is every machine this builds on.
  static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);
  // data_begin is a multiple of 4: the section starts at a whole float.
  model.data = std::move(image);
  TensorBinder binder(std::move(entries), model.data.data() + data_begin / 4,
                      model.packed);
  if (h.architecture == kLstmArchitecture) {
    model.lstm_weights = bind_lstm(model, binder);
    if (binder.problem().empty()) add_phoneme_gates(model);
  } else {
    model.weights = bind_transformer(model, binder);
  }
  if (std::string problem = binder.problem(); !problem.empty()) {
    return fail(binder.kind(), problem);
  }
  return model;
}

// Storage for `size` bytes in whole floats.
std::vector<float> image_of_size(std::size_t size) {
  return std::vector<float>((size + sizeof(float) - 1) / sizeof(float));
}

}  // namespace

Expected<NeuralModel, NeuralLoadError> parse_neural_model(
    std::string_view bytes) {
  std::vector<float> image = image_of_size(bytes.size());
  if (!bytes.empty()) std::memcpy(image.data(), bytes.data(), bytes.size());
  return parse_image(std::move(image), bytes.size());
}

Expected<NeuralModel, NeuralLoadError> load_neural_model(
    const std::string &path) {
  auto file = RegularFile::open(path);
  if (!file) {
    return make_unexpected(
        Error{Kind::kOpenFailed, file.error().detail, file.error().os_error});
  }
  // The one copy of the file the model keeps.
  std::vector<float> image = image_of_size(file->size());
  if (auto read = file->read_all(reinterpret_cast<char *>(image.data()));
      !read) {
    return make_unexpected(
        Error{Kind::kOpenFailed, read.error().detail, read.error().os_error});
  }
  return parse_image(std::move(image), file->size());
}

std::string describe(const NeuralLoadError &error) {
  const char *what = "";
  switch (error.kind) {
    case Kind::kOpenFailed: what = "cannot read the file"; break;
    case Kind::kTruncated: what = "truncated file"; break;
    case Kind::kBadMagic: what = "not a tamsu neural model file"; break;
    case Kind::kUnsupportedVersion: what = "unsupported format version"; break;
    case Kind::kChecksumMismatch:
      what = "checksum mismatch (a damaged or truncated file)";
      break;
    case Kind::kBadHeader: what = "bad header"; break;
    case Kind::kBadSymbols: what = "bad symbol table"; break;
    case Kind::kBadTensorTable: what = "bad tensor table"; break;
    case Kind::kWrongTensors: what = "tensors do not match the architecture"; break;
    case Kind::kNonFiniteWeight: what = "non-finite weight"; break;
    case Kind::kHugeWeight: what = "weight out of range"; break;
  }
  return error.detail.empty() ? what : std::string(what) + ": " + error.detail;
}

}  // namespace tamsu
