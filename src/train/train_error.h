// The error value of every fallible training operation.
#ifndef TAMSU_TRAIN_TRAIN_ERROR_H_
#define TAMSU_TRAIN_TRAIN_ERROR_H_

#include <string>

namespace tamsu {

struct TrainError {
  enum class Kind {
    kInvalidOptions,  // an option is out of range
    kInvalidSymbol,   // an empty or reserved grapheme or phoneme text
    kNoEntries,       // the lexicon is empty
    kNothingAligned,  // no entry fits the chunk limits
    kTooManyUnaligned,  // more entries than allowed fit no chunk limits
    kFstFailed,       // OpenFst reported an error while building
    kWriteFailed,     // the model file could not be written
    kCancelled,       // the progress callback asked to stop
  };
  Kind kind;
  std::string detail;  // a complete sentence for the user, without the kind
  // kWriteFailed: the system's error number when a system call failed,
  // else 0.
  int os_error = 0;
};

inline TrainError make_train_error(TrainError::Kind kind, std::string detail) {
  return TrainError{kind, std::move(detail)};
}

}  // namespace tamsu

#endif  // TAMSU_TRAIN_TRAIN_ERROR_H_
