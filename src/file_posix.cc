#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file.h"

namespace varnolet {

namespace {

// Closes the descriptor however the read ends.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);  // close is not retried on EINTR: the fd is gone either way
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* content) {
  content->clear();
  int raw_fd;
  do {
    // O_NONBLOCK: opening a FIFO must not wait for a writer. It changes
    // nothing for the regular files that are read below.
    raw_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (raw_fd < 0 && errno == EINTR);
  if (raw_fd < 0) return false;
  ScopedFd fd(raw_fd);

  struct stat info;
  // Only regular files: a directory has no content, and a FIFO or a device
  // could keep the read waiting or running for ever.
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_size > 0) {
    content->reserve(static_cast<size_t>(info.st_size));
  }

  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      content->clear();
      return false;
    }
    if (n == 0) return true;
    content->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace varnolet
