#pragma once

#include <atomic>
#include <boost/system/error_code.hpp>
#include <cstdint>

namespace vemo::platform {

// The steps of a connection's life at which the socket can fail.
enum class IoStep { kHandshake, kRead, kWrite, kShutdown };

// A test seam: asked before each step of each connection starts, on the server's I/O thread. A
// failure code returned makes the step fail with that code, as if the socket had failed,
// without doing its I/O. Connections are numbered from 1 in the order the server accepted them.
class IoFaults {
 public:
  virtual boost::system::error_code OnStep(uint64_t connection, IoStep step) = 0;

 protected:
  ~IoFaults() = default;
};

namespace internal {
inline std::atomic<IoFaults*> io_faults{nullptr};
}  // namespace internal

// Tests only: every server in the process asks faults from now on (nullptr: none). They must
// outlive every server that may still ask them.
inline void SetIoFaultsForTesting(IoFaults* faults) { internal::io_faults.store(faults); }

inline boost::system::error_code InjectedFault(uint64_t connection, IoStep step) {
  IoFaults* faults = internal::io_faults.load(std::memory_order_acquire);
  return faults ? faults->OnStep(connection, step) : boost::system::error_code();
}

}  // namespace vemo::platform
