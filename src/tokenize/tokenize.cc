#include "tokenize/tokenize.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

namespace tamsu {
namespace {

// Byte length of the UTF-8 character at `pos`. A malformed or truncated
// sequence counts as a one-byte character, so that every byte belongs to
// exactly one piece and nothing is read past the end.
std::size_t char_length(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t length = 1;
  if (lead >= 0xF0 && lead <= 0xF7) {
    length = 4;
  } else if (lead >= 0xE0) {
    length = lead <= 0xEF ? 3 : 1;
  } else if (lead >= 0xC0) {
    length = 2;
  }
  if (length > text.size() - pos) return 1;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[pos + i]) & 0xC0) != 0x80) return 1;
  }
  return length;
}

// Writes all of `bytes` to file descriptor 2, resuming after partial
// writes and interrupted calls. Other errors drop the rest silently: the
// diagnostic is advice, never a reason to fail decoding.
void write_to_stderr(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(2, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void report_unknown_piece(std::string_view piece) {
  static constexpr std::string_view kHead = "Symbol: '";
  static constexpr std::string_view kTail =
      "' not found in input symbols table.\nMapping to null...\n";
  // One write call for the whole message keeps it in one piece when other
  // writers share the descriptor.
  std::string message;
  message.reserve(kHead.size() + piece.size() + kTail.size());
  message.append(kHead).append(piece).append(kTail);
  write_to_stderr(message);
}

void append_label(std::string_view piece, const fst::SymbolTable &isyms,
                  LabelList &labels) {
  const auto label = isyms.Find(piece);
  if (label == fst::kNoSymbol) {
    report_unknown_piece(piece);
  } else {
    labels.push_back(static_cast<Label>(label));
  }
}

}  // namespace

LabelList tokenize(const std::string &word, const std::string &delim,
                   const fst::SymbolTable &isyms) {
  const std::string_view text(word);
  LabelList labels;
  if (delim.empty()) {
    labels.reserve(text.size());  // at least one byte per piece
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t length = char_length(text, pos);
      append_label(text.substr(pos, length), isyms, labels);
      pos += length;
    }
    return labels;
  }
  // A piece runs from `start` to the next character equal to `delim`, so
  // every piece is a contiguous slice of the word.
  labels.reserve(text.size() + 1);  // pieces <= delimiters + 1 <= bytes + 1
  std::size_t start = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = char_length(text, pos);
    if (text.substr(pos, length) == delim) {
      append_label(text.substr(start, pos - start), isyms, labels);
      start = pos + length;
    }
    pos += length;
  }
  append_label(text.substr(start), isyms, labels);
  return labels;
}

}  // namespace tamsu
