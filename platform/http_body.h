#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>

namespace vemo::platform {

// The memory that request bodies held by the server may take together. Any thread.
class BodyBudget {
 public:
  explicit BodyBudget(uint64_t limit) : limit_(limit) {}
  BodyBudget(const BodyBudget&) = delete;
  BodyBudget& operator=(const BodyBudget&) = delete;

  // Takes bytes from the budget; false, taking nothing, when they would pass the limit.
  bool Charge(uint64_t bytes);
  void Release(uint64_t bytes);
  uint64_t used() const { return used_.load(); }

 private:
  const uint64_t limit_;
  std::atomic<uint64_t> used_{0};
};

// The body of one request, received in full before the request loop takes it. The I/O thread
// fills it; afterwards the loop reads it out, and each piece goes back to the budget, and its
// pages to the system, as soon as it has been read, so that a large body is not held twice
// while the loop copies it into its own buffer. One thread at a time.
class ReceivedBody {
 public:
  explicit ReceivedBody(std::shared_ptr<BodyBudget> budget) : budget_(std::move(budget)) {}
  ~ReceivedBody() { Clear(); }
  ReceivedBody(const ReceivedBody&) = delete;
  ReceivedBody& operator=(const ReceivedBody&) = delete;

  // Room for up to `want` more bytes at the end: what is left in the last piece, or a new
  // piece of about that size. Empty when the budget has no room for a new piece.
  std::span<std::byte> Room(size_t want);
  // Bytes of the last Room that now hold data.
  void Commit(size_t bytes);
  uint64_t size() const { return size_; }

  // Copies the next bytes into out; returns how many.
  size_t Read(std::span<std::byte> out);
  bool AtEnd() const { return read_ == size_; }

  // Frees every piece.
  void Clear();

 private:
  struct Piece {
    std::byte* data = nullptr;
    size_t capacity = 0;
    size_t filled = 0;
    bool mapped = false;
  };
  void Free(Piece& piece);

  std::shared_ptr<BodyBudget> budget_;
  std::deque<Piece> pieces_;
  size_t offset_ = 0;  // read position in the first piece
  uint64_t size_ = 0;
  uint64_t read_ = 0;
};

}  // namespace vemo::platform
