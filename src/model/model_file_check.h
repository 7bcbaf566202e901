// Bounds-checks a model file's header, symbol tables and state records
// before OpenFst parses it. OpenFst's reader trusts counts and lengths (a
// huge state count or string length makes it allocate gigabytes or throw)
// and accepts malformed symbol tables; this check rejects such files.
#ifndef TAMSU_MODEL_MODEL_FILE_CHECK_H_
#define TAMSU_MODEL_MODEL_FILE_CHECK_H_

#include <optional>
#include <string>
#include <string_view>

namespace tamsu {

// Returns a description of the first defect found in `bytes`, the whole
// content of a file named `path`, or nothing when OpenFst may read it.
// Files that are not vector FSTs with standard arcs are left for OpenFst to
// reject with its own message.
std::optional<std::string> check_model_file(std::string_view bytes,
                                            const std::string &path);

}  // namespace tamsu

#endif  // TAMSU_MODEL_MODEL_FILE_CHECK_H_
