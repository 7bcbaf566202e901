#include "model/model_file_check.h"

#include <cstdint>
#include <cstring>
#include <unordered_set>

namespace tamsu {
namespace {

constexpr std::int32_t kFstMagic = 2125659606;
constexpr std::int32_t kSymbolTableMagic = 2125658996;
constexpr std::int32_t kHasInputSymbols = 0x1;
constexpr std::int32_t kHasOutputSymbols = 0x2;
// Smallest encodings: a state is its final weight and arc count, an arc
// two labels, a weight and a next state, a symbol an empty text and a key.
constexpr std::uint64_t kMinStateBytes = 4 + 8;
constexpr std::uint64_t kArcBytes = 4 + 4 + 4 + 4;
constexpr std::uint64_t kMinSymbolBytes = 4 + 8;

// Reads little-endian fields from the file image without ever passing its
// end. Every read reports failure instead of reading past it.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : bytes_(bytes) {}

  std::uint64_t remaining() const { return bytes_.size() - pos_; }

  template <class T>
  bool read(T &out) {
    if (remaining() < sizeof(T)) return false;
    std::memcpy(&out, bytes_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }

  // A string: signed 32-bit length, then the bytes. A length of zero or
  // less reads as empty, as OpenFst does.
  bool read_string(std::string_view &out, std::int32_t &length) {
    if (!read(length)) return false;
    if (length <= 0) {
      out = {};
      return true;
    }
    if (remaining() < static_cast<std::uint64_t>(length)) return false;
    out = bytes_.substr(pos_, static_cast<std::size_t>(length));
    pos_ += static_cast<std::uint64_t>(length);
    return true;
  }

  bool skip(std::uint64_t count) {
    if (remaining() < count) return false;
    pos_ += count;
    return true;
  }

 private:
  std::string_view bytes_;
  std::uint64_t pos_ = 0;
};

std::string at(const std::string &path, const std::string &what) {
  return path + ": " + what;
}

std::optional<std::string> check_symbol_table(Cursor &cursor,
                                              const std::string &side,
                                              const std::string &path) {
  const std::string table = side + " symbol table";
  std::int32_t magic = 0;
  if (!cursor.read(magic)) return at(path, table + " is truncated");
  if (magic != kSymbolTableMagic) {
    return at(path, table + " has a bad magic number " + std::to_string(magic));
  }
  std::string_view name;
  std::int32_t length = 0;
  if (!cursor.read_string(name, length)) {
    return at(path, table + " name length " + std::to_string(length) +
                        " exceeds the file size");
  }
  std::int64_t available_key = 0;
  std::int64_t size = 0;
  if (!cursor.read(available_key) || !cursor.read(size)) {
    return at(path, table + " is truncated");
  }
  if (size < 0 ||
      static_cast<std::uint64_t>(size) > cursor.remaining() / kMinSymbolBytes) {
    return at(path, table + " claims " + std::to_string(size) +
                        " symbols, more than the file can hold");
  }
  std::unordered_set<std::string_view> texts;
  texts.reserve(static_cast<std::size_t>(size));
  for (std::int64_t i = 0; i < size; ++i) {
    std::string_view text;
    std::int64_t key = 0;
    if (!cursor.read_string(text, length)) {
      return at(path, table + ": symbol " + std::to_string(i) +
                          " has a text length " + std::to_string(length) +
                          " beyond the end of the file");
    }
    if (!cursor.read(key)) return at(path, table + " is truncated");
    // Decoding and lookups index the table densely by label.
    if (key != i) {
      return at(path, table + ": symbol " + std::to_string(i) + " (\"" +
                          std::string(text) + "\") has label " +
                          std::to_string(key) + ", expected " +
                          std::to_string(i) +
                          " (labels must run 0, 1, 2, ... in stored order)");
    }
    if (!texts.insert(text).second) {
      return at(path, table + ": symbol text \"" + std::string(text) +
                          "\" appears more than once");
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> check_model_file(std::string_view bytes,
                                            const std::string &path) {
  Cursor cursor(bytes);
  std::int32_t magic = 0;
  if (!cursor.read(magic) || magic != kFstMagic) return std::nullopt;

  std::string_view fst_type;
  std::string_view arc_type;
  std::int32_t length = 0;
  if (!cursor.read_string(fst_type, length) ||
      !cursor.read_string(arc_type, length)) {
    return at(path, "FST header string length " + std::to_string(length) +
                        " exceeds the file size");
  }
  // Other types are OpenFst's to reject, with its own description.
  if (fst_type != "vector" || arc_type != "standard") return std::nullopt;

  std::int32_t version = 0;
  std::int32_t flags = 0;
  std::uint64_t properties = 0;
  std::int64_t start = 0;
  std::int64_t num_states = 0;
  std::int64_t num_arcs = 0;
  if (!cursor.read(version) || !cursor.read(flags) ||
      !cursor.read(properties) || !cursor.read(start) ||
      !cursor.read(num_states) || !cursor.read(num_arcs)) {
    return at(path, "FST header is truncated");
  }
  if (flags & kHasInputSymbols) {
    if (auto error = check_symbol_table(cursor, "input", path)) return error;
  }
  if (flags & kHasOutputSymbols) {
    if (auto error = check_symbol_table(cursor, "output", path)) return error;
  }

  // -1 means "read states until the end of the file".
  if (num_states < -1 ||
      (num_states >= 0 && static_cast<std::uint64_t>(num_states) >
                              cursor.remaining() / kMinStateBytes)) {
    return at(path, "header claims " + std::to_string(num_states) +
                        " states, more than the file can hold");
  }
  for (std::int64_t state = 0; num_states == -1 || state < num_states;
       ++state) {
    if (num_states == -1 && cursor.remaining() < 4) break;
    float final_weight = 0;
    std::int64_t num_state_arcs = 0;
    if (!cursor.read(final_weight) || !cursor.read(num_state_arcs)) {
      return at(path, "unexpected end of file in state " +
                          std::to_string(state));
    }
    if (num_state_arcs < 0 ||
        static_cast<std::uint64_t>(num_state_arcs) >
            cursor.remaining() / kArcBytes) {
      return at(path, "state " + std::to_string(state) + " claims " +
                          std::to_string(num_state_arcs) +
                          " arcs, more than the file can hold");
    }
    cursor.skip(static_cast<std::uint64_t>(num_state_arcs) * kArcBytes);
  }
  return std::nullopt;
}

}  // namespace tamsu
