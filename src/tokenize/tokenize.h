// Splits a word into pieces and maps each piece to an input label: the
// first step of decoding a word.
#ifndef TAMSU_TOKENIZE_TOKENIZE_H_
#define TAMSU_TOKENIZE_TOKENIZE_H_

#include <string>

#include <fst/symbol-table.h>

#include "base/labels.h"

namespace tamsu {

// Splits `word` (UTF-8) into pieces and returns the label of every piece
// that is a symbol of `isyms`, in word order.
//
// With an empty `delim` every character (code point) is a piece. Otherwise
// the word is cut wherever one character's UTF-8 bytes equal the whole of
// `delim`; that character belongs to no piece, and leading, trailing or
// adjacent delimiters give empty pieces (so a delimiter of two or more
// characters never cuts, and an empty word is one empty piece).
//
// Pieces are looked up exactly. For each piece that is not a symbol,
// writes "Symbol: '<piece>' not found in input symbols table.\nMapping to
// null...\n" straight to file descriptor 2, unbuffered, and adds no label.
// Cannot fail; the diagnostic's own write errors are ignored.
LabelList tokenize(const std::string &word, const std::string &delim,
                   const fst::SymbolTable &isyms);

}  // namespace tamsu

#endif  // TAMSU_TOKENIZE_TOKENIZE_H_
