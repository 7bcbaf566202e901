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
#include "neural/search.h"

namespace tamsu {
namespace {

using Kind = NeuralLoadError::Kind;

struct Tensor {
  std::vector<std::uint32_t> shape;
  std::vector<float> values;
};

// A model file's contents before it is written; by default a 1+1-layer
// transformer of width 4 with all weights zero.
struct FileParts {
  std::uint32_t version = kNeuralFormatVersion;
  std::vector<std::uint32_t> header = {1, 4, 2, 6, 1, 1, 1, 0};
  std::vector<std::string> graphemes = {"<pad>", "a", "b"};
  std::vector<std::string> phonemes = {"<pad>", "<s>", "</s>", "A", "B"};
  std::map<std::string, Tensor> tensors;
  // Overrides of the counts written (G, P, T, N) when set.
  std::map<int, std::uint64_t> counts;

  FileParts() {
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
    add("enc.embed", {3, 4});
    add("dec.embed", {5, 4});
    linear("out", 5, 4);
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
    std::size_t floats = 0;
    for (const auto &[name, t] : tensors) floats += t.values.size();
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
      u64(offset);
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

  for (const std::string &unreadable : {path + ".none", testing::TempDir()}) {
    auto missing = load_neural_model(unreadable);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, Kind::kOpenFailed);
  }
}

struct Damage {
  const char *name;
  Kind kind;
  std::function<void(FileParts &)> change;
};

class NeuralFileRefusal : public testing::TestWithParam<Damage> {};

TEST_P(NeuralFileRefusal, NamesTheProblem) {
  FileParts parts;
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
        Damage{"architecture", Kind::kBadHeader, [](FileParts &s) { s.header[0] = 2; }},
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
               [](FileParts &s) { s.tensors["enc.embed"].values[0] = -INFINITY; }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(NeuralFile, DamagedBytesNeverPass) {
  const std::string good = FileParts().bytes();
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

// With every weight zero but the output bias, each step predicts
// softmax(bias) whatever came before: the n best are known exactly.
TEST(NeuralSearch, FindsTheNBestOfAFixedDistribution) {
  FileParts parts;
  parts.tensors["out.bias"].values = {0, 0, 2, 1, 0};
  auto model = parse_neural_model(parts.bytes());
  ASSERT_TRUE(model) << describe(model.error());
  const double log_z = std::log(2 + std::exp(2.0) + std::exp(1.0) + 1);
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
// runs fastest (its AVX2 copy, where there is one) find the same paths,
// whichever words share a batch.
TEST(NeuralSearch, EveryBuildAndBatchAgrees) {
  FileParts parts;
  std::uint32_t state = 1;
  for (auto &[name, tensor] : parts.tensors) {
    for (float &value : tensor.values) {
      state = state * 1664525u + 1013904223u;
      value = static_cast<float>(state >> 8) / (1u << 23) - 1.0f;
    }
  }
  auto model = parse_neural_model(parts.bytes());
  ASSERT_TRUE(model) << describe(model.error());
  const std::vector<LabelList> words = {{1, 2, 1}, {}, {2}, {2, 2, 1, 1}};
  const auto fast = beam_search_batch(*model, words, {3, 3});
  const auto portable = beam_search_batch(*model, words, {3, 3, true});
  ASSERT_EQ(fast.size(), words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    const auto alone = beam_search(*model, words[i], {3, 3, true});
    ASSERT_EQ(fast[i].size(), alone.size());
    ASSERT_EQ(portable[i].size(), alone.size());
    for (std::size_t k = 0; k < alone.size(); ++k) {
      EXPECT_EQ(fast[i][k].phonemes, alone[k].phonemes);
      EXPECT_EQ(portable[i][k].phonemes, alone[k].phonemes);
      EXPECT_NEAR(fast[i][k].log_probability, alone[k].log_probability, 1e-5);
      EXPECT_NEAR(portable[i][k].log_probability, alone[k].log_probability,
                  1e-5);
    }
  }
}

}  // namespace
}  // namespace tamsu
