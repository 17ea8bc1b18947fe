// Request bodies in memory: pieces, the order of their bytes, and the budget they are charged
// to, given back piece by piece as they are read.

#include "platform/http_body.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace vemo::platform {
namespace {

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i * 7 % 26);
  return bytes;
}

// Fills the body with the bytes, asking for room `want` at a time and using at most `step` of
// each room. False when the budget refused.
bool Fill(ReceivedBody& body, const std::string& bytes, size_t want, size_t step) {
  for (size_t at = 0; at < bytes.size();) {
    const auto room = body.Room(want);
    if (room.empty()) return false;
    const size_t n = std::min({room.size(), step, bytes.size() - at});
    std::memcpy(room.data(), bytes.data() + at, n);
    body.Commit(n);
    at += n;
  }
  return true;
}

TEST(ReceivedBodyTest, GivesTheBytesBackInOrderAndTheBudgetPieceByPiece) {
  struct Case {
    const char* what;
    size_t size;
    size_t want;  // room asked for each time
    size_t step;  // bytes put into each room
    size_t read;  // the loop's piece size
  };
  const std::vector<Case> cases = {
      {"empty", 0, 4096, 4096, 4096},
      {"one small piece", 10, 10, 10, 4},
      {"small pieces, odd reads", 100'000, 4096, 1000, 777},
      {"mapped pieces, one read", 1'000'000, 256 * 1024, 16 * 1024, 1'000'000},
      {"pieces larger than the biggest", 3'000'000, 10'000'000, 16 * 1024, 65'536},
      {"a read larger than the body", 5000, 5000, 5000, 1 << 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto budget = std::make_shared<BodyBudget>(64 << 20);
    const std::string bytes = Pattern(c.size);
    {
      ReceivedBody body(budget);
      ASSERT_TRUE(Fill(body, bytes, c.want, c.step));
      EXPECT_EQ(body.size(), c.size);
      EXPECT_GE(budget->used(), c.size);
      std::string out;
      std::vector<std::byte> piece(c.read);
      uint64_t before = budget->used();
      while (!body.AtEnd()) {
        const size_t n = body.Read(piece);
        ASSERT_GT(n, 0u);
        out.append(reinterpret_cast<const char*>(piece.data()), n);
        EXPECT_LE(budget->used(), before) << "reading never takes more";
        before = budget->used();
      }
      EXPECT_EQ(out, bytes);
      EXPECT_EQ(body.Read(piece), 0u);
      // Everything read is given back, so a large body is not held twice while the loop has it.
      EXPECT_EQ(budget->used(), 0u);
    }
    EXPECT_EQ(budget->used(), 0u);
  }
}

TEST(ReceivedBodyTest, RefusesRoomBeyondTheBudgetAndGivesAllBackWhenCleared) {
  auto budget = std::make_shared<BodyBudget>(300'000);
  ReceivedBody first(budget);
  ASSERT_TRUE(Fill(first, Pattern(200'000), 200'000, 200'000));
  const uint64_t held = budget->used();
  ReceivedBody second(budget);
  EXPECT_FALSE(Fill(second, Pattern(150'000), 150'000, 150'000));
  EXPECT_EQ(budget->used(), held) << "a refused piece takes nothing";
  EXPECT_TRUE(Fill(second, Pattern(50'000), 50'000, 50'000));
  first.Clear();
  second.Clear();
  EXPECT_EQ(budget->used(), 0u);
  EXPECT_TRUE(first.AtEnd());
  EXPECT_EQ(first.size(), 0u);
}

TEST(BodyBudgetTest, ChargesUpToTheLimitExactly) {
  BodyBudget budget(1000);
  EXPECT_TRUE(budget.Charge(600));
  EXPECT_FALSE(budget.Charge(401));
  EXPECT_TRUE(budget.Charge(400));
  EXPECT_FALSE(budget.Charge(1));
  EXPECT_FALSE(budget.Charge(UINT64_MAX)) << "no wrap-around";
  budget.Release(1000);
  EXPECT_EQ(budget.used(), 0u);
}

}  // namespace
}  // namespace vemo::platform
