#include "nbest/batch.h"

#include "nbest/pipeline.h"

namespace tamsu {

std::vector<WordResult> phoneticize_words(const Model &model,
                                          const std::vector<std::string> &words,
                                          const DecodeOptions &options,
                                          const BatchRun &run) {
  std::vector<WordResult> results(words.size());
  run_parallel(words.size(), run,
               [&](std::size_t i, const std::function<bool()> &interrupted) {
                 DecodeOptions word_options = options;
                 word_options.write_fsts = false;
                 word_options.interrupted = interrupted;
                 DecodeReport report;
                 results[i].paths =
                     phoneticize_word(model, words[i], word_options, &report);
                 results[i].failure = report.failure;
               });
  return results;
}

}  // namespace tamsu
