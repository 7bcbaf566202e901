// The neural model file (round trip and every refusal) and the search over
// a model whose output does not depend on its input.
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "neural/neural_model.h"
#include "neural/passes.h"
#include "neural/search.h"

namespace tamsu {
namespace {

using Kind = NeuralLoadError::Kind;

struct Tensor {
  std::vector<std::uint32_t> shape;
  std::vector<float> values;
};

// A model file's contents before it is written, all weights zero: a
// 1+1-layer transformer of width 4, or a 2+2-layer LSTM of hidden width 4
// over embeddings of width 3.
struct FileParts {
  std::uint32_t version = kNeuralFormatVersion;
  std::vector<std::uint32_t> header = {1, 4, 2, 6, 1, 1, 1, 0};
  std::vector<std::string> graphemes = {"<pad>", "a", "b"};
  std::vector<std::string> phonemes = {"<pad>", "<s>", "</s>", "A", "B"};
  std::map<std::string, Tensor> tensors;
  // Overrides of the counts written (G, P, T, N) when set.
  std::map<int, std::uint64_t> counts;
  // Overrides of tensors' data offsets (in floats) when set.
  std::map<std::string, std::uint64_t> offsets;

  explicit FileParts(std::uint32_t architecture = kTransformerArchitecture) {
    auto add = [&](const std::string &name, std::vector<std::uint32_t> shape) {
      std::size_t size = 1;
      for (auto d : shape) size *= d;
      tensors[name] = {shape, std::vector<float>(size, 0.0f)};
    };
    auto linear = [&](const std::string &name, std::uint32_t out,
                      std::uint32_t in) {
      add(name + ".weight", {out, in});
      add(name + ".bias", {out});
    };
    linear("out", 5, 4);
    if (architecture == kLstmArchitecture) {
      header = {kLstmArchitecture, 4, 1, 3, 2, 2, 1, 0};
      add("enc.embed", {3, 3});
      add("dec.embed", {5, 3});
      auto cell = [&](const std::string &prefix, const std::string &suffix,
                      std::uint32_t n, std::uint32_t in) {
        add(prefix + ".weight_ih" + suffix, {4 * n, in});
        add(prefix + ".weight_hh" + suffix, {4 * n, n});
        add(prefix + ".bias_ih" + suffix, {4 * n});
        add(prefix + ".bias_hh" + suffix, {4 * n});
      };
      for (const char *direction : {"", "_reverse"}) {
        cell("enc.lstm", std::string("_l0") + direction, 2, 3);
        cell("enc.lstm", std::string("_l1") + direction, 2, 4);
      }
      cell("dec.lstm", "_l0", 4, 3 + 4);
      cell("dec.lstm", "_l1", 4, 4);
      add("attn.weight", {4, 4});
      linear("comb", 4, 8);
      return;
    }
    add("enc.embed", {3, 4});
    add("dec.embed", {5, 4});
    for (const char *norm : {"enc.norm", "dec.norm", "enc.0.norm1",
                             "enc.0.norm2", "dec.0.norm1", "dec.0.norm2",
                             "dec.0.norm3"}) {
      add(std::string(norm) + ".weight", {4});
      add(std::string(norm) + ".bias", {4});
    }
    for (const char *attention : {"enc.0.attn", "dec.0.self", "dec.0.cross"}) {
      for (const char *part : {".q", ".k", ".v", ".o"}) {
        linear(std::string(attention) + part, 4, 4);
      }
    }
    for (const char *layer : {"enc.0", "dec.0"}) {
      linear(std::string(layer) + ".ff1", 6, 4);
      linear(std::string(layer) + ".ff2", 4, 6);
    }
  }

  std::size_t float_count() const {
    std::size_t floats = 0;
    for (const auto &[name, t] : tensors) floats += t.values.size();
    return floats;
  }

  std::string bytes() const {
    std::string out("TAMSU-NN", 8);
    auto u32 = [&](std::uint64_t v) {
      for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i));
    };
    auto u64 = [&](std::uint64_t v) {
      for (int i = 0; i < 8; ++i) out += static_cast<char>(v >> (8 * i));
    };
    auto count = [&](int field, std::uint64_t actual) {
      auto found = counts.find(field);
      return found == counts.end() ? actual : found->second;
    };
    const std::size_t floats = float_count();
    u32(version);
    for (auto field : header) u32(field);
    u32(count(0, graphemes.size()));
    u32(count(1, phonemes.size()));
    u32(count(2, tensors.size()));
    u64(count(3, floats));
    for (const auto *table : {&graphemes, &phonemes}) {
      for (const std::string &text : *table) {
        u32(text.size());
        out += text;
      }
    }
    std::uint64_t offset = 0;
    for (const auto &[name, t] : tensors) {
      u32(name.size());
      out += name;
      u32(t.shape.size());
      for (auto d : t.shape) u32(d);
      auto moved = offsets.find(name);
      u64(moved == offsets.end() ? offset : moved->second);
      offset += t.values.size();
    }
    out.resize((out.size() + 3) / 4 * 4, '\0');
    for (const auto &[name, t] : tensors) {
      out.append(reinterpret_cast<const char *>(t.values.data()),
                 t.values.size() * sizeof(float));
    }
    u32(crc32(out.data(), out.size()));
    return out;
  }
};

TEST(NeuralFile, RoundTripThroughAFile) {
  FileParts parts;
  parts.header[7] = 1;  // right to left
  parts.tensors["out.bias"].values = {0, 0, 0.5f, -1.25f, 3};
  const std::string path = testing::TempDir() + "/model.tnn";
  std::FILE *file = std::fopen(path.c_str(), "wb");
  const std::string bytes = parts.bytes();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  auto loaded = load_neural_model(path);
  ASSERT_TRUE(loaded) << describe(loaded.error());
  const NeuralModel &model = *loaded;
  EXPECT_EQ(model.hyper.d_model, 4u);
  EXPECT_EQ(model.hyper.heads, 2u);
  EXPECT_EQ(model.hyper.d_ff, 6u);
  EXPECT_EQ(model.form, GraphemeForm::kNfc);
  EXPECT_EQ(model.direction, Direction::kRightToLeft);
  EXPECT_EQ(model.graphemes, parts.graphemes);
  EXPECT_EQ(model.phonemes, parts.phonemes);
  EXPECT_EQ(model.weights.output_bias[3], -1.25f);
  EXPECT_EQ(model.weights.output_bias[4], 3.0f);
  // The model holds the file once: its weights point into that copy.
  EXPECT_EQ(model.data.size(), (bytes.size() + 3) / 4);
  EXPECT_GE(model.weights.output_bias, model.data.data());
  EXPECT_LT(model.weights.output_bias, model.data.data() + model.data.size());

  for (const std::string &unreadable : {path + ".none", testing::TempDir()}) {
    auto missing = load_neural_model(unreadable);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, Kind::kOpenFailed);
    EXPECT_NE(missing.error().os_error, 0);
  }
}

// A well-formed LSTM file loads, its tensors in their views (a linear
// map's weights packed).
TEST(NeuralFile, LoadsAnLstm) {
  FileParts parts(kLstmArchitecture);
  parts.tensors["enc.lstm.weight_ih_l1_reverse"].values[2] = -2;
  parts.tensors["dec.lstm.bias_hh_l1"].values[15] = 0.75f;
  parts.tensors["comb.weight"].values[31] = 1.5f;
  auto model = parse_neural_model(parts.bytes());
  ASSERT_TRUE(model) << describe(model.error());
  const LstmWeights &w = model->lstm_weights;
  EXPECT_EQ(model->hyper.architecture, kLstmArchitecture);
  ASSERT_EQ(w.encoder_reverse.size(), 2u);
  ASSERT_EQ(w.decoder.size(), 2u);
  // Linear maps are packed in aligned panels of kPanelWidth (16) outputs,
  // input by input, zeros past the last output: W_ih [8, 4]'s (0, 2) is
  // at 2 * 16, comb [4, 8]'s (3, 7) at 7 * 16 + 3.
  const float *packed = w.encoder_reverse[1].input_weight;
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(packed) % 64, 0u);
  EXPECT_EQ(packed[32], -2.0f);
  EXPECT_EQ(packed[32 + 8], 0.0f);
  EXPECT_EQ(w.decoder[1].hidden_bias[15], 0.75f);
  EXPECT_EQ(w.combine_weight[7 * 16 + 3], 1.5f);
}

struct Damage {
  const char *name;
  Kind kind;
  std::function<void(FileParts &)> change;
  std::uint32_t architecture = kTransformerArchitecture;
};

class NeuralFileRefusal : public testing::TestWithParam<Damage> {};

TEST_P(NeuralFileRefusal, NamesTheProblem) {
  FileParts parts(GetParam().architecture);
  GetParam().change(parts);
  auto loaded = parse_neural_model(parts.bytes());
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().kind, GetParam().kind) << describe(loaded.error());
}

constexpr auto kHuge = std::uint64_t{1} << 31;

INSTANTIATE_TEST_SUITE_P(
    Lies, NeuralFileRefusal,
    testing::Values(
        Damage{"version", Kind::kUnsupportedVersion, [](FileParts &s) { s.version = 2; }},
        Damage{"architecture", Kind::kBadHeader, [](FileParts &s) { s.header[0] = 3; }},
        Damage{"heads", Kind::kBadHeader, [](FileParts &s) { s.header[2] = 3; }},
        Damage{"form", Kind::kBadHeader, [](FileParts &s) { s.header[6] = 3; }},
        Damage{"graphemes", Kind::kBadHeader, [](FileParts &s) { s.counts[0] = kHuge; }},
        Damage{"tensors", Kind::kBadHeader, [](FileParts &s) { s.counts[2] = kHuge; }},
        Damage{"floats", Kind::kBadHeader, [](FileParts &s) { s.counts[3] = kHuge; }},
        Damage{"few_floats", Kind::kBadTensorTable, [](FileParts &s) { s.counts[3] = 10; }},
        Damage{"pad", Kind::kBadSymbols, [](FileParts &s) { s.phonemes[0] = "A"; }},
        Damage{"twice", Kind::kBadSymbols, [](FileParts &s) { s.graphemes[2] = "a"; }},
        Damage{"empty_symbol", Kind::kBadSymbols, [](FileParts &s) { s.graphemes[2] = ""; }},
        Damage{"dimension", Kind::kBadTensorTable,
               [](FileParts &s) { s.tensors["out.bias"].shape = {1u << 30}; }},
        Damage{"rank", Kind::kBadTensorTable,
               [](FileParts &s) { s.tensors["out.bias"].shape = {5, 1, 1}; }},
        Damage{"shape", Kind::kWrongTensors,
               [](FileParts &s) { s.tensors["enc.0.ff1.weight"].shape = {4, 6}; }},
        Damage{"width", Kind::kWrongTensors, [](FileParts &s) { s.header[3] = 8; }},
        Damage{"layers", Kind::kWrongTensors, [](FileParts &s) { s.header[5] = 2; }},
        Damage{"missing", Kind::kWrongTensors, [](FileParts &s) { s.tensors.erase("dec.norm.bias"); }},
        Damage{"unexpected", Kind::kWrongTensors,
               [](FileParts &s) { s.tensors["extra"] = {{1}, {0}}; }},
        Damage{"nan", Kind::kNonFiniteWeight,
               [](FileParts &s) { s.tensors["dec.0.ff2.weight"].values[7] = NAN; }},
        Damage{"inf", Kind::kNonFiniteWeight,
               [](FileParts &s) { s.tensors["enc.embed"].values[0] = -INFINITY; }},
        Damage{"huge", Kind::kHugeWeight,
               [](FileParts &s) { s.tensors["out.bias"].values[2] = 1e20f; }},
        Damage{"float_max", Kind::kHugeWeight,
               [](FileParts &s) { s.tensors["dec.embed"].values[3] = -3.4e38f; }},
        Damage{"newline", Kind::kBadSymbols, [](FileParts &s) { s.phonemes[3] = "A\nB"; }},
        Damage{"tab", Kind::kBadSymbols, [](FileParts &s) { s.phonemes[4] = "\tB"; }},
        Damage{"space", Kind::kBadSymbols, [](FileParts &s) { s.phonemes[3] = "A B"; }},
        Damage{"nul", Kind::kBadSymbols,
               [](FileParts &s) { s.phonemes[3] = std::string("A\0", 2); }},
        Damage{"not_utf8", Kind::kBadSymbols, [](FileParts &s) { s.phonemes[3] = "\xff"; }},
        Damage{"overlong", Kind::kBadSymbols, [](FileParts &s) { s.phonemes[3] = "\xc1\x81"; }},
        Damage{"surrogate", Kind::kBadSymbols,
               [](FileParts &s) { s.graphemes[1] = "\xed\xa0\x80"; }},
        Damage{"c1_control", Kind::kBadSymbols, [](FileParts &s) { s.phonemes[4] = "\xc2\x85"; }},
        Damage{"past_the_data", Kind::kBadTensorTable,
               [](FileParts &s) { s.offsets["out.bias"] = s.float_count() - 4; }},
        Damage{"lstm_heads", Kind::kBadHeader, [](FileParts &s) { s.header[2] = 2; },
               kLstmArchitecture},
        Damage{"lstm_odd_hidden", Kind::kBadHeader, [](FileParts &s) { s.header[1] = 5; },
               kLstmArchitecture},
        Damage{"lstm_missing", Kind::kWrongTensors,
               [](FileParts &s) { s.tensors.erase("enc.lstm.bias_hh_l1_reverse"); },
               kLstmArchitecture},
        Damage{"lstm_unexpected", Kind::kWrongTensors,
               [](FileParts &s) { s.tensors["dec.lstm.bias_ih_l2"] = {{16}, std::vector<float>(16)}; },
               kLstmArchitecture},
        Damage{"lstm_shape", Kind::kWrongTensors,
               [](FileParts &s) { s.tensors["dec.lstm.weight_ih_l0"].shape = {16, 3}; },
               kLstmArchitecture},
        Damage{"lstm_layers", Kind::kWrongTensors, [](FileParts &s) { s.header[4] = 1; },
               kLstmArchitecture},
        Damage{"lstm_nan", Kind::kNonFiniteWeight,
               [](FileParts &s) { s.tensors["attn.weight"].values[5] = NAN; },
               kLstmArchitecture}),
    [](const auto &info) { return std::string(info.param.name); });

class NeuralFileOfEachArchitecture
    : public testing::TestWithParam<std::uint32_t> {};

INSTANTIATE_TEST_SUITE_P(Networks, NeuralFileOfEachArchitecture,
                         testing::Values(kTransformerArchitecture,
                                         kLstmArchitecture),
                         [](const auto &info) {
                           return std::string(info.param == kLstmArchitecture
                                                  ? "lstm"
                                                  : "transformer");
                         });

TEST_P(NeuralFileOfEachArchitecture, DamagedBytesNeverPass) {
  const std::string good = FileParts(GetParam()).bytes();
  for (std::size_t size = 0; size < good.size(); ++size) {
    auto loaded = parse_neural_model(good.substr(0, size));
    ASSERT_FALSE(loaded) << size;
    EXPECT_EQ(loaded.error().kind,
              size < 68 ? Kind::kTruncated : Kind::kChecksumMismatch);
  }
  std::string bad = good;
  bad[0] = 't';
  EXPECT_EQ(parse_neural_model(bad).error().kind, Kind::kBadMagic);
  bad = good;
  bad[good.size() / 2] ^= 1;
  EXPECT_EQ(parse_neural_model(bad).error().kind, Kind::kChecksumMismatch);
  // Every header and table byte set to 0xff, signed again: a lie with a
  // valid checksum is refused or read, never a crash.
  for (std::size_t i = 8; i < good.size() - 4; i += (i < 1024 ? 1 : 61)) {
    bad = good;
    bad[i] = '\xff';
    const std::uint32_t sum = crc32(bad.data(), bad.size() - 4);
    for (int k = 0; k < 4; ++k) {
      bad[bad.size() - 4 + k] = static_cast<char>(sum >> (8 * k));
    }
    (void)parse_neural_model(bad);
  }
}

// A model with every weight zero but the output bias: each step predicts
// softmax(bias) whatever came before, so the n best are known exactly.
// `log_z` gets the log of the softmax's denominator.
Expected<NeuralModel, NeuralLoadError> fixed_distribution(
    const std::vector<float> &bias, double &log_z) {
  FileParts parts;
  parts.tensors["out.bias"].values = bias;
  log_z = 0;
  for (float b : bias) log_z += std::exp(static_cast<double>(b));
  log_z = std::log(log_z);
  return parse_neural_model(parts.bytes());
}

TEST(NeuralSearch, FindsTheNBestOfAFixedDistribution) {
  double log_z = 0;
  auto model = fixed_distribution({0, 0, 2, 1, 0}, log_z);
  ASSERT_TRUE(model) << describe(model.error());
  const double end = 2 - log_z, a = 1 - log_z, b = 0 - log_z;

  const WordGraphemes word = word_graphemes(*model, "ab\xe2\x82\xac\xff");
  EXPECT_EQ(word.ids, (LabelList{1, 2}));
  EXPECT_EQ(word.unknown, (std::vector<std::string>{"\xe2\x82\xac", "\xff"}));

  auto paths = beam_search(*model, word.ids, {4, 3});
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(paths[0].phonemes, LabelList{});
  EXPECT_EQ(paths[1].phonemes, LabelList{3});
  EXPECT_EQ(paths[2].phonemes, LabelList{4});
  EXPECT_NEAR(paths[0].log_probability, end, 1e-5);
  EXPECT_NEAR(paths[1].log_probability, a + end, 1e-5);
  EXPECT_NEAR(paths[2].log_probability, b + end, 1e-5);
  EXPECT_TRUE(beam_search(*model, {}, {}).empty());

  auto scores = score_candidates(*model, word.ids,
                                 {{"A", "A"}, {"B"}, {"A", "Z"}, {"</s>"}, {}});
  EXPECT_NEAR(scores[0], 2 * a + end, 1e-5);
  EXPECT_NEAR(scores[1], b + end, 1e-5);
  EXPECT_EQ(scores[2], -INFINITY);
  EXPECT_EQ(scores[3], -INFINITY);
  EXPECT_NEAR(scores[4], end, 1e-5);
}

// The forward pass built for any processor and the one this processor
// runs fastest (its AVX2 copy, where there is one) find the same paths and
// scores, whichever words share a batch.
TEST_P(NeuralFileOfEachArchitecture, EveryBuildAndBatchAgrees) {
  FileParts parts(GetParam());
  std::uint32_t state = 1;
  for (auto &[name, tensor] : parts.tensors) {
    for (float &value : tensor.values) {
      state = state * 1664525u + 1013904223u;
      value = static_cast<float>(state >> 8) / (1u << 23) - 1.0f;
    }
  }
  auto model = parse_neural_model(parts.bytes());
  ASSERT_TRUE(model) << describe(model.error());
  EXPECT_STREQ(passes_for(true).name, "generic");
  const std::vector<LabelList> words = {{1, 2, 1}, {}, {2}, {2, 2, 1, 1}};
  const auto fast = beam_search_batch(*model, words, {3, 3});
  const auto portable = beam_search_batch(*model, words, {3, 3, true});
  // A run without a stop flag of its own.
  const auto shared = beam_search_parallel(*model, words, {3, 3},
                                           ParallelRun{2, nullptr, {}});
  const std::vector<Candidates> candidates(
      words.size(), Candidates{{}, {"A"}, {"B", "A", "B"}});
  const auto fast_scores = score_candidates_batch(*model, words, candidates);
  const auto portable_scores =
      score_candidates_batch(*model, words, candidates, true);
  ASSERT_EQ(fast.size(), words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    const auto alone = beam_search(*model, words[i], {3, 3, true});
    ASSERT_EQ(fast[i].size(), alone.size());
    ASSERT_EQ(portable[i].size(), alone.size());
    ASSERT_EQ(shared[i].size(), alone.size());
    for (std::size_t c = 0; c < candidates[i].size(); ++c) {
      const double a = fast_scores[i][c], b = portable_scores[i][c];
      EXPECT_TRUE(a == b || std::fabs(a - b) < 1e-5) << a << " " << b;
    }
    for (std::size_t k = 0; k < alone.size(); ++k) {
      EXPECT_EQ(fast[i][k].phonemes, alone[k].phonemes);
      EXPECT_EQ(shared[i][k].phonemes, alone[k].phonemes);
      EXPECT_EQ(portable[i][k].phonemes, alone[k].phonemes);
      EXPECT_NEAR(fast[i][k].log_probability, alone[k].log_probability, 1e-5);
      EXPECT_NEAR(portable[i][k].log_probability, alone[k].log_probability,
                  1e-5);
    }
  }
}


// A tensor may end exactly where the data does ("past_the_data" above: one
// float more is refused).
TEST(NeuralFile, ATensorMayEndAtTheEndOfTheData) {
  FileParts parts;
  // "out.weight" is stored last; "out.bias" now reads its last five floats.
  std::vector<float> &last = parts.tensors["out.weight"].values;
  for (std::size_t i = 0; i < last.size(); ++i) last[i] = 0.5f * i;
  parts.offsets["out.bias"] = parts.float_count() - 5;
  auto model = parse_neural_model(parts.bytes());
  ASSERT_TRUE(model) << describe(model.error());
  EXPECT_EQ(model->weights.output_bias[0], last[last.size() - 5]);
  EXPECT_EQ(model->weights.output_bias[4], last.back());
}

// Where the end is the best first step, the empty pronunciation is the
// answer; with nbest 1 it ends the search at once.
TEST(NeuralSearch, TheEmptyPronunciationCanBeTheBest) {
  double log_z = 0;
  auto model = fixed_distribution({0, 0, 5, 1, 0}, log_z);
  ASSERT_TRUE(model) << describe(model.error());
  for (bool portable : {false, true}) {
    auto paths = beam_search(*model, {1, 2}, {4, 1, portable});
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].phonemes, LabelList{});
    EXPECT_NEAR(paths[0].log_probability, 5 - log_z, 1e-5);
    paths = beam_search(*model, {1, 2}, {4, 2, portable});
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0].phonemes, LabelList{});
    EXPECT_EQ(paths[1].phonemes, LabelList{3});
  }
}

// Where a phoneme always beats the end by more than the beam lets an end
// in, every hypothesis runs to the length limit, where only the end
// remains: the answers are exactly max_output_length long.
TEST(NeuralSearch, StopsExactlyAtTheLengthLimit) {
  double log_z = 0;
  auto model = fixed_distribution({0, 0, 0, 3, 2}, log_z);
  ASSERT_TRUE(model) << describe(model.error());
  const std::size_t limit = max_output_length(2);
  for (bool portable : {false, true}) {
    auto paths = beam_search(*model, {1, 2}, {1, 1, portable});
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].phonemes, LabelList(limit, 3));
    EXPECT_NEAR(paths[0].log_probability, limit * (3 - log_z) - log_z, 1e-4);
    paths = beam_search(*model, {1, 2}, {2, 2, portable});
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[1].phonemes.size(), limit);
  }
  // A candidate one phoneme longer cannot be scored.
  auto scores = score_candidates(*model, {1, 2},
                                 {std::vector<std::string>(limit, "A"),
                                  std::vector<std::string>(limit + 1, "A")});
  EXPECT_NEAR(scores[0], limit * (3 - log_z) - log_z, 1e-4);
  EXPECT_EQ(scores[1], -INFINITY);
}

// The layer norm's epsilon (1e-5) against a decoder input of tiny
// variance, where it dominates: all weights zero but <s>'s embedding,
// which cancels the position encoding [0, 1, 0, 1] down to
// [0, 1e-3, 0, -1e-3], the final norm's gain, and phoneme A's output row.
TEST(NeuralForward, LayerNormUsesEpsilonOneInTenThousandTenths) {
  FileParts parts;
  parts.tensors["dec.embed"].values = {0, 0, 0, 0,  0, -0.4995f, 0, -0.5005f};
  parts.tensors["dec.embed"].values.resize(20, 0.0f);
  parts.tensors["dec.norm.weight"].values = {1, 1, 1, 1};
  parts.tensors["out.weight"].values[3 * 4 + 1] = 1;
  auto model = parse_neural_model(parts.bytes());
  ASSERT_TRUE(model) << describe(model.error());
  // Variance (1e-6 + 1e-6) / 4; A's logit is the normed second column.
  const double logit = 1e-3 / std::sqrt(5e-7 + 1e-5);
  const double end = -std::log(4 + std::exp(logit));
  for (bool portable : {false, true}) {
    auto scores = score_candidates_batch(*model, {{1}}, {{{}}}, portable);
    EXPECT_NEAR(scores[0][0], end, 1e-4) << portable;
  }
}

}  // namespace
}  // namespace tamsu
