#include "nbest/dump.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string_view>

namespace tamsu {
namespace {

// Offset of the header's arc count in a serialized FST, or 0 when `bytes`
// is too short. The header is: magic (int32), FST type and arc type
// (each an int32 length and its bytes), version and flags (int32 each),
// properties, start state, state count and arc count (64 bits each).
std::size_t arc_count_offset(std::string_view bytes) {
  std::size_t pos = 4;
  for (int field = 0; field < 2; ++field) {
    std::int32_t length = 0;
    if (bytes.size() < pos + sizeof length) return 0;
    std::memcpy(&length, bytes.data() + pos, sizeof length);
    if (length < 0) return 0;
    pos += sizeof length + static_cast<std::size_t>(length);
  }
  pos += 4 + 4 + 8 + 8 + 8;
  return bytes.size() < pos + 8 ? 0 : pos;
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

bool write_fst(const fst::StdVectorFst &fst, const std::string &path) {
  if (path.find('\0') != std::string::npos) return false;

  // OpenFst 1.7.9 writes 0 as the arc count (its reader ignores the field),
  // so the bytes are produced in memory and the count patched in.
  std::ostringstream stream;
  if (!fst.Write(stream, fst::FstWriteOptions(path))) return false;
  std::string bytes = stream.str();
  const std::size_t offset = arc_count_offset(bytes);
  if (offset == 0) return false;
  std::int64_t arcs = 0;
  for (fst::StdArc::StateId s = 0; s < fst.NumStates(); ++s) {
    arcs += static_cast<std::int64_t>(fst.NumArcs(s));
  }
  // Native byte order, as OpenFst writes every other field.
  std::memcpy(&bytes[offset], &arcs, sizeof arcs);

  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool written = write_all(fd, bytes);
  const bool closed = ::close(fd) == 0;
  return written && closed;
}

}  // namespace tamsu
