#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace vemo {

// A file descriptor, closed with the object. In the lowest layer, so that the event log, the
// platform layer and the bundled module share one.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Writes every byte at the file offset (retrying short and interrupted writes), then flushes
  // to storage.
  bool WriteAllAndSync(std::string_view bytes) const {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return ::fsync(fd_) == 0;
  }
  // Closes now and tells whether the close succeeded (a late write error shows here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

}  // namespace vemo
