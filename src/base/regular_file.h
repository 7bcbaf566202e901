// Reading a whole model file, bounded: only a regular file is read, and
// never more than the size it had when opened, so that a device (/dev/zero,
// /dev/urandom), a FIFO or a file growing under the reader cannot make a
// load read without end or block.
#ifndef TAMSU_BASE_REGULAR_FILE_H_
#define TAMSU_BASE_REGULAR_FILE_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include "base/expected.h"

namespace tamsu {

struct FileError {
  // The system's error number when the file could not be opened or read
  // (ENOENT, EACCES, EISDIR, ...); 0 when it opened but is no regular file
  // or changed size while it was read.
  int os_error = 0;
  std::string detail;  // "No such file or directory", "not a regular file"
};

// An open regular file and its size. Move-only: it owns the descriptor.
class RegularFile {
 public:
  // Opens `path` without blocking (a FIFO with no writer would block a
  // plain open) and refuses anything but a regular file, before any read.
  static Expected<RegularFile, FileError> open(const std::string &path) {
    // As a C string the name would stop at the NUL and open another file.
    if (path.find('\0') != std::string::npos) {
      return make_unexpected(
          FileError{0, "the path contains a NUL character"});
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return system_error();
    RegularFile file(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) return system_error();
    if (S_ISDIR(status.st_mode)) {
      return make_unexpected(FileError{EISDIR, std::strerror(EISDIR)});
    }
    if (!S_ISREG(status.st_mode)) {
      return make_unexpected(FileError{0, "not a regular file"});
    }
    file.size_ = static_cast<std::size_t>(status.st_size);
    return file;
  }

  RegularFile(RegularFile &&other) noexcept
      : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}
  RegularFile &operator=(RegularFile &&other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(size_, other.size_);
    return *this;
  }
  // Two owners would close the descriptor twice.
  RegularFile(const RegularFile &) = delete;
  RegularFile &operator=(const RegularFile &) = delete;
  ~RegularFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  // The size when opened: what read_all reads.
  std::size_t size() const { return size_; }

  // Reads exactly size() bytes into `out`. A file that ends early has
  // changed under the reader and fails; one that has grown is read only
  // up to its size when opened.
  Expected<bool, FileError> read_all(char *out) const {
    std::size_t done = 0;
    while (done < size_) {
      const ::ssize_t got = ::read(fd_, out + done, size_ - done);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return system_error();
      if (got == 0) {
        return make_unexpected(FileError{0, "the file shrank while read"});
      }
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  explicit RegularFile(int fd) : fd_(fd) {}

  static Unexpected<FileError> system_error() {
    const int error = errno;
    return make_unexpected(FileError{error, std::strerror(error)});
  }

  int fd_ = -1;
  std::size_t size_ = 0;
};

}  // namespace tamsu

#endif  // TAMSU_BASE_REGULAR_FILE_H_
