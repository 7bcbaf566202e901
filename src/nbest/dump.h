// Writes an FST to a file in OpenFst's binary vector format, for the
// dump files a decoding call leaves on request.
#ifndef TAMSU_NBEST_DUMP_H_
#define TAMSU_NBEST_DUMP_H_

#include <string>

#include <fst/vector-fst.h>

namespace tamsu {

// Creates or truncates the file at `path` and writes `fst` in OpenFst's
// binary vector format with the symbol tables it carries. Unlike OpenFst's
// own writer, the header's arc count holds the real total. Returns false
// when the file cannot be created or written (a partial file may remain),
// and when `path` holds a NUL byte, which names no file: nothing is
// written then. Never writes to standard error (OpenFst's messages go to
// std::cerr: callers capture that).
bool write_fst(const fst::StdVectorFst &fst, const std::string &path);

}  // namespace tamsu

#endif  // TAMSU_NBEST_DUMP_H_
