#include "platform/http_body.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace vemo::platform {
namespace {

constexpr size_t kMaxPiece = 256 * 1024;
// Pieces from this size on are mapped by us rather than taken from the allocator: the
// allocator keeps freed memory of one thread's arena for that thread, and the pages of a body
// read by the loop would then stay resident beside the loop's own copy of it.
constexpr size_t kMapFrom = 128 * 1024;

size_t PageSize() {
  static const size_t size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

bool BodyBudget::Charge(uint64_t bytes) {
  uint64_t used = used_.load();
  do {
    if (bytes > limit_ || used > limit_ - bytes) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes));
  return true;
}

void BodyBudget::Release(uint64_t bytes) { used_.fetch_sub(bytes); }

std::span<std::byte> ReceivedBody::Room(size_t want) {
  want = std::clamp<size_t>(want, 1, kMaxPiece);
  if (!pieces_.empty()) {
    Piece& last = pieces_.back();
    if (last.filled < last.capacity) {
      return {last.data + last.filled, std::min(want, last.capacity - last.filled)};
    }
  }
  Piece piece;
  piece.mapped = want >= kMapFrom;
  piece.capacity = piece.mapped ? (want + PageSize() - 1) / PageSize() * PageSize() : want;
  if (!budget_->Charge(piece.capacity)) return {};
  if (piece.mapped) {
    void* pages = ::mmap(nullptr, piece.capacity, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (pages != MAP_FAILED) piece.data = static_cast<std::byte*>(pages);
  } else {
    piece.data = new (std::nothrow) std::byte[piece.capacity];
  }
  if (!piece.data) {
    budget_->Release(piece.capacity);
    return {};
  }
  pieces_.push_back(piece);
  return {piece.data, want};
}

void ReceivedBody::Commit(size_t bytes) {
  if (bytes == 0) return;
  pieces_.back().filled += bytes;
  size_ += bytes;
}

size_t ReceivedBody::Read(std::span<std::byte> out) {
  size_t copied = 0;
  while (copied < out.size() && !pieces_.empty()) {
    Piece& first = pieces_.front();
    const size_t n = std::min(out.size() - copied, first.filled - offset_);
    if (n != 0) std::memcpy(out.data() + copied, first.data + offset_, n);
    copied += n;
    offset_ += n;
    if (offset_ < first.filled) break;
    Free(first);
    pieces_.pop_front();
    offset_ = 0;
  }
  read_ += copied;
  return copied;
}

void ReceivedBody::Clear() {
  for (Piece& piece : pieces_) Free(piece);
  pieces_.clear();
  offset_ = 0;
  size_ = 0;
  read_ = 0;
}

void ReceivedBody::Free(Piece& piece) {
  if (piece.mapped) {
    ::munmap(piece.data, piece.capacity);
  } else {
    delete[] piece.data;
  }
  budget_->Release(piece.capacity);
  piece.data = nullptr;
}

}  // namespace vemo::platform
