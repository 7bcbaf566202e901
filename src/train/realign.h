// Re-segmentation of aligned entries under the joint n-gram itself: each
// entry's chunk sequence becomes the likeliest one the model allows, the
// n-gram history included, rather than the best under independent chunks.
#ifndef TAMSU_TRAIN_REALIGN_H_
#define TAMSU_TRAIN_REALIGN_H_

#include <cstddef>
#include <vector>

#include "train/align.h"
#include "train/lexicon.h"
#include "train/ngram.h"

namespace tamsu {

// Replaces `sentences[e]` (the token sequence of entry e, tokens indexing
// `token_chunks`) by the best segmentation of entry e under `model`:
// the highest ln p(t1 .. tk </s>) with <s> as the first history, over
// segmentations into chunks within `options`' shapes that are tokens
// already. Only token chunks take part, so the entry's own segmentation is
// always a candidate; an empty sentence (an unaligned entry) stays empty.
// Ties keep the first segmentation found in the shape order of
// align_lexicon. Uses `options.threads` threads; the result does not
// depend on their number. Returns how many sentences changed.
std::size_t realign_entries(const EncodedLexicon &lexicon,
                            const AlignOptions &options,
                            const std::vector<Chunk> &token_chunks,
                            const NgramModel &model,
                            std::vector<Sentence> &sentences);

}  // namespace tamsu

#endif  // TAMSU_TRAIN_REALIGN_H_
