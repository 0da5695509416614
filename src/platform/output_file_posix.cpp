// The trace's file on Linux: open(2) and write(2), and poll(2) where the
// destination is a pipe, so a reader that stops reading holds the writer
// only for the wait it was given.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform.h"

namespace platform {

struct OutputFile::State {
  int fd = -1;
  bool pipe = false;  // written without blocking, waited for with poll
};

OutputFile* OutputFile::Create(const std::string& path, bool* exists) {
  *exists = false;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  bool pipe = false;
  if (fd < 0) {
    if (errno != EEXIST) return nullptr;
    // A name that is taken: written to only when it is a pipe or a device
    // that cannot seek (a FIFO, a terminal); a file is never overwritten.
    fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0 && lseek(fd, 0, SEEK_CUR) < 0 && errno == ESPIPE) {
      pipe = true;
    } else {
      if (fd >= 0) close(fd);
      *exists = true;
      return nullptr;
    }
  }
  auto* file = new (std::nothrow) OutputFile;
  auto* state = new (std::nothrow) State{fd, pipe};
  if (file == nullptr || state == nullptr) {
    delete file;
    delete state;
    close(fd);
    return nullptr;
  }
  file->state_ = state;
  return file;
}

OutputFile::~OutputFile() {
  close(state_->fd);
  delete state_;
}

long OutputFile::Write(const void* bytes, size_t size, unsigned waitMs) {
  for (;;) {
    const ssize_t n = write(state_->fd, bytes, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (!state_->pipe || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
    pollfd p{state_->fd, POLLOUT, 0};
    const int ready = poll(&p, 1, static_cast<int>(waitMs));
    if (ready == 0) return 0;  // the reader took nothing in time
    if (ready < 0 && errno != EINTR) return -1;
    if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return -1;
    waitMs = 0;  // one more try, then the caller decides
  }
}

void WriteStandardError(const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(2, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

bool AppendToFile(const char* path, const void* bytes, size_t size) noexcept {
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = write(fd, bytes, size);
  } while (n < 0 && errno == EINTR);
  close(fd);
  return n == static_cast<ssize_t>(size);
}

}  // namespace platform
