// The neural pronunciation model: its file format, the loaded record (the
// hyper-parameters, symbol tables and float32 weights) and the loader that
// refuses any file that does not describe itself consistently.
//
// File layout, version 1 (all integers little-endian; u32/u64 unsigned):
//
//   offset  size  field
//   0       8     magic "TAMSU-NN"
//   8       4     u32 format version (1)
//   12      4     u32 architecture (1: transformer encoder-decoder, 2: LSTM
//                 encoder-decoder, below)
//   16      4     u32 d_model (model width; the LSTM's H, even)
//   20      4     u32 heads (attention heads; divides d_model; 1 for the
//                 LSTM)
//   24      4     u32 d_ff (inner width of the feed-forward blocks; the
//                 LSTM's embedding width E)
//   28      4     u32 encoder layers
//   32      4     u32 decoder layers
//   36      4     u32 grapheme form (0: as given, 1: NFC, 2: NFD)
//   40      4     u32 direction (0: left to right, 1: right to left)
//   44      4     u32 G, grapheme symbols (id 0 is "<pad>")
//   48      4     u32 P, phoneme symbols (ids 0, 1, 2 are "<pad>", "<s>",
//                 "</s>")
//   52      4     u32 T, tensors
//   56      8     u64 N, float32 values in the data section
//   64            G grapheme texts, then P phoneme texts: u32 byte length,
//                 UTF-8 bytes (non-empty, distinct within a table, without
//                 spaces or control characters, but for a grapheme that
//                 is a single space)
//                 T tensor entries: u32 name length, name bytes, u32 rank
//                 (1 or 2), rank u32 dimensions (row-major, PyTorch's
//                 [out, in] for linear maps), u64 offset in floats into the
//                 data section
//                 zero bytes up to a multiple of 4
//                 data: N float32 values (all finite, none beyond
//                 +-10^4)
//   end-4   4     u32 CRC-32 (zlib's) of every byte before it
//
// Architecture 1 is a pre-norm transformer: x + attention(norm(x)), then
// x + feed_forward(norm(x)); layer norms with epsilon 1e-5; ReLU in the
// feed-forward blocks; token embeddings scaled by sqrt(d_model) plus
// sinusoidal positions (sin at even, cos at odd columns, wavelength
// 10000^(2i/d_model)); a final norm after each stack; the decoder's output
// projection gives log-softmax scores over the phonemes. Its tensors (d =
// d_model, f = d_ff):
//
//   enc.embed [G, d]   dec.embed [P, d]   out.weight [P, d]   out.bias [P]
//   enc.norm.{weight,bias} [d]   dec.norm.{weight,bias} [d]
//   enc.L.{norm1,norm2}.{weight,bias} [d]
//   enc.L.attn.{q,k,v,o}.weight [d, d], .bias [d]
//   dec.L.{norm1,norm2,norm3}.{weight,bias} [d]
//   dec.L.{self,cross}.{q,k,v,o}.weight [d, d], .bias [d]
//   {enc,dec}.L.ff1.weight [f, d], ff1.bias [f], ff2.weight [d, f],
//   ff2.bias [d]
//
// with L = 0, 1, ... for each layer; exactly these names, no others.
//
// Architecture 2 is a bidirectional LSTM encoder and an LSTM decoder that
// attends to it and is fed its previous attentional vector. Each LSTM cell
// is PyTorch's: of width n, input x and state (h, c),
//   z = W_ih x + b_ih + W_hh h + b_hh, four n-wide blocks i, f, g, o;
//   c' = sigmoid(f) * c + sigmoid(i) * tanh(g); h' = sigmoid(o) * tanh(c'),
// from a zero state. The encoder embeds a word's graphemes x_1 .. x_S (in
// the order the model reads them); in each layer a forward cell reads
// positions 1 .. S and a reverse one S .. 1, both H/2 wide, and position
// j's output [forward h_j; reverse h_j] is the next layer's input. The
// last layer's outputs are the memory M [S, H], its keys K = M A^T. Each
// decoder step t feeds [dec.embed[y_t]; a_{t-1}] (y_1 = <s>, then the last
// phoneme; a_0 = 0) to the first of its layers, each layer's h to the next
// (every layer keeping its own state from step to step); with s_t the last
// layer's h: alpha = softmax_j(K_j . s_t), context c_t = sum_j alpha_j M_j,
// a_t = tanh(C [c_t; s_t] + c_bias), and log_softmax(out a_t + out_bias)
// scores the next phoneme. Its tensors (H = d_model, h = H / 2, E = d_ff;
// PyTorch's LSTM names and layouts, gate blocks in the order i, f, g, o):
//
//   enc.embed [G, E]   dec.embed [P, E]   attn.weight [H, H] (A)
//   comb.weight [H, 2H] (C), comb.bias [H]   out.weight [P, H], out.bias [P]
//   enc.lstm.weight_ih_lL{,_reverse} [4h, E for L = 0, else H]
//   enc.lstm.weight_hh_lL{,_reverse} [4h, h]
//   enc.lstm.bias_{ih,hh}_lL{,_reverse} [4h]
//   dec.lstm.weight_ih_lL [4H, E + H for L = 0, else H]
//   dec.lstm.weight_hh_lL [4H, H]   dec.lstm.bias_{ih,hh}_lL [4H]
//
// with L = 0, 1, ... for each layer; exactly these names, no others.
#ifndef TAMSU_NEURAL_NEURAL_MODEL_H_
#define TAMSU_NEURAL_NEURAL_MODEL_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/expected.h"
#include "base/labels.h"

namespace tamsu {

inline constexpr char kNeuralMagic[8] = {'T', 'A', 'M', 'S',
                                         'U', '-', 'N', 'N'};
inline constexpr std::uint32_t kNeuralFormatVersion = 1;
inline constexpr std::uint32_t kTransformerArchitecture = 1;
inline constexpr std::uint32_t kLstmArchitecture = 2;

// Fixed phoneme ids of every model.
inline constexpr Label kPadPhoneme = 0;
inline constexpr Label kStartPhoneme = 1;
inline constexpr Label kEndPhoneme = 2;
inline constexpr Label kFirstPhoneme = 3;  // the first real phoneme

struct NeuralHyperParameters {
  std::uint32_t architecture = kTransformerArchitecture;
  std::uint32_t d_model = 0;
  std::uint32_t heads = 0;
  std::uint32_t d_ff = 0;
  std::uint32_t encoder_layers = 0;
  std::uint32_t decoder_layers = 0;
};

enum class GraphemeForm : std::uint32_t { kAsGiven = 0, kNfc = 1, kNfd = 2 };
enum class Direction : std::uint32_t { kLeftToRight = 0, kRightToLeft = 1 };

// Views of one block's weights inside NeuralModel::data, row-major.
struct NormWeights {
  const float *gain;
  const float *bias;
};
struct AttentionWeights {
  const float *q_weight, *q_bias, *k_weight, *k_bias;
  const float *v_weight, *v_bias, *o_weight, *o_bias;
};
struct FeedForwardWeights {
  const float *weight1, *bias1, *weight2, *bias2;
};
struct EncoderLayer {
  NormWeights norm1;
  AttentionWeights attention;
  NormWeights norm2;
  FeedForwardWeights feed_forward;
};
struct DecoderLayer {
  NormWeights norm1;
  AttentionWeights self_attention;
  NormWeights norm2;
  AttentionWeights cross_attention;
  NormWeights norm3;
  FeedForwardWeights feed_forward;
};
struct TransformerWeights {
  const float *encoder_embedding;  // [G, d]
  const float *decoder_embedding;  // [P, d]
  std::vector<EncoderLayer> encoder;
  NormWeights encoder_norm;
  std::vector<DecoderLayer> decoder;
  NormWeights decoder_norm;
  const float *output_weight;  // packed, [P, d]
  const float *output_bias;    // [P]
};

// One LSTM cell of width n over inputs of width m.
struct LstmCellWeights {
  const float *input_weight;   // W_ih [4n, m], packed
  const float *hidden_weight;  // W_hh [4n, n], packed
  const float *input_bias;     // b_ih [4n]
  const float *hidden_bias;    // b_hh [4n]
};
struct LstmWeights {
  const float *encoder_embedding;  // [G, E]
  const float *decoder_embedding;  // [P, E]
  std::vector<LstmCellWeights> encoder_forward;  // per layer, n = H / 2
  std::vector<LstmCellWeights> encoder_reverse;  // per layer, n = H / 2
  std::vector<LstmCellWeights> decoder;          // per layer, n = H
  const float *attention_weight;  // [H, H], packed
  const float *combine_weight;    // [H, 2H], packed
  const float *combine_bias;      // [H]
  const float *output_weight;     // [P, H], packed
  const float *output_bias;       // [P]
  // [P, 4H]: each phoneme's embedding through the first decoder layer's
  // W_ih, plus that layer's biases (made at load).
  const float *phoneme_gates;
};

// The outputs of one panel of a packed linear map: a panel holds their
// weights of every input, input by input, zero-padded past the last output
// and 64-byte aligned (see the products in kernel.h).
inline constexpr std::size_t kPanelWidth = 16;

struct NeuralModel {
  NeuralHyperParameters hyper;
  GraphemeForm form = GraphemeForm::kAsGiven;
  Direction direction = Direction::kLeftToRight;
  std::vector<std::string> graphemes;  // id -> text; 0 is "<pad>"
  std::vector<std::string> phonemes;   // id -> text; 0..2 are special
  std::unordered_map<std::string, Label> grapheme_ids;
  std::unordered_map<std::string, Label> phoneme_ids;
  // The whole file, read once into float-aligned storage: the weights
  // point into its data section, which is never copied.
  std::vector<float> data;
  // Each linear map's weights W [out, in] packed once at load into panels
  // of kPanelWidth outputs (kernel.h), so that no product packs a matrix
  // again, for one row of inputs as for many. Every *_weight pointer of
  // the records below but the embeddings' points here, not into `data`.
  std::vector<std::vector<float>> packed;
  // Pointers into `data`, shapes checked: those of hyper.architecture
  // (the other record stays empty).
  TransformerWeights weights;
  LstmWeights lstm_weights;

  NeuralModel() = default;
  // A copy would point its weights into the other model's data.
  NeuralModel(const NeuralModel &) = delete;
  NeuralModel &operator=(const NeuralModel &) = delete;
  // A move keeps the data's heap buffer, so the views stay valid.
  NeuralModel(NeuralModel &&) = default;
  NeuralModel &operator=(NeuralModel &&) = default;
};

struct NeuralLoadError {
  enum class Kind {
    kOpenFailed,          // cannot open or read the file
    kTruncated,           // shorter than the fixed header and checksum
    kBadMagic,            // not a neural model file
    kUnsupportedVersion,  // a format version this build does not read
    kChecksumMismatch,    // damaged or truncated
    kBadHeader,           // hyper-parameters or counts out of range
    kBadSymbols,          // a symbol table that is malformed
    kBadTensorTable,      // a tensor entry that is malformed or out of bounds
    kWrongTensors,        // missing, unexpected or mis-shaped tensors
    kNonFiniteWeight,     // NaN or infinity in a tensor
    kHugeWeight,          // a finite weight beyond +-10^4
  };
  Kind kind;
  std::string detail;  // what exactly is wrong, for the message
  // kOpenFailed: the system's error number (see FileError), 0 when the
  // path is no regular file.
  int os_error = 0;
};

// Reads and validates a model file: every count, length and offset is
// bounded by the file size before it is used, the checksum is verified,
// the tensors must be exactly those the hyper-parameters call for, and
// every weight finite and within +-10^4. Only a regular file is read, and
// only as many bytes as its size. Never crashes, and on a hostile file
// allocates no more than the file size (plus the symbol maps): the model
// keeps the file's one copy.
Expected<NeuralModel, NeuralLoadError> load_neural_model(
    const std::string &path);

// The same over the file's bytes (copied once into the model).
Expected<NeuralModel, NeuralLoadError> parse_neural_model(
    std::string_view bytes);

// CRC-32 of `size` bytes (the polynomial of zlib and PNG), the file's
// checksum.
std::uint32_t crc32(const char *bytes, std::size_t size);

// The user-facing message of a load error (without the path).
std::string describe(const NeuralLoadError &error);

}  // namespace tamsu

#endif  // TAMSU_NEURAL_NEURAL_MODEL_H_
