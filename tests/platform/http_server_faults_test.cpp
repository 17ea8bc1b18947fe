// The socket failing at any step of a connection's life: the handshake, any read, any write,
// the close. Each step is made to fail in turn, on one connection that carries a request of
// every kind; that connection must end alone, every request on it be answered once or end
// with it where its client can tell, and the server go on serving the others.

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/io_faults.h"
#include "tests/platform/http_server_fixture.h"

namespace vemo::platform {
namespace {

using namespace test_http;
using Clock = std::chrono::steady_clock;

const char* StepName(IoStep step) {
  switch (step) {
    case IoStep::kHandshake:
      return "handshake";
    case IoStep::kRead:
      return "read";
    case IoStep::kWrite:
      return "write";
    case IoStep::kShutdown:
      return "shutdown";
  }
  return "?";
}

// Fails the given step of the first connection that starts after Arm, and keeps that
// connection's steps.
class StepFaults final : public IoFaults {
 public:
  void Arm(int fail_at) {
    std::lock_guard lock(mutex_);
    fail_at_ = fail_at;
    armed_ = true;
    victim_ = 0;
    steps_.clear();
  }
  // What the connection went through, the failed step marked; whether that step came.
  bool Fired(std::string* trace) const {
    std::lock_guard lock(mutex_);
    trace->clear();
    for (size_t i = 0; i < steps_.size(); ++i) {
      *trace += (i ? " " : "") + std::string(StepName(steps_[i]));
      if (static_cast<int>(i) + 1 == fail_at_) *trace += "(failed)";
    }
    return static_cast<int>(steps_.size()) >= fail_at_;
  }

  boost::system::error_code OnStep(uint64_t connection, IoStep step) override {
    std::lock_guard lock(mutex_);
    if (armed_ && step == IoStep::kHandshake) {
      armed_ = false;
      victim_ = connection;
    }
    if (connection != victim_) return {};
    steps_.push_back(step);
    if (static_cast<int>(steps_.size()) != fail_at_) return {};
    return step == IoStep::kWrite ? boost::asio::error::broken_pipe
                                  : boost::asio::error::connection_reset;
  }

 private:
  mutable std::mutex mutex_;
  int fail_at_ = 0;
  bool armed_ = false;
  uint64_t victim_ = 0;
  std::vector<IoStep> steps_;
};

std::string Answer(const std::string& query) { return R"({"query":")" + query + R"("})"; }

// The request loop: takes one request at a time, reads a POST's whole body, and answers each
// with its own query; keeps what became of every request it took.
class Loop {
 public:
  struct Taken {
    std::string query;
    size_t body = 0;  // bytes read
    uint32_t reply_status = 0;
  };
  explicit Loop(HttpServer& server) : thread_(server, [this](auto&... args) { Serve(args...); }) {}
  std::map<RequestId, Taken> TakenSince(RequestId first) const {
    std::lock_guard lock(mutex_);
    return {taken_.lower_bound(first), taken_.end()};
  }
  RequestId LastId() const {
    std::lock_guard lock(mutex_);
    return taken_.empty() ? 0 : taken_.rbegin()->first;
  }

 private:
  void Serve(HttpServer& server, const HttpRequest& request) {
    Taken taken{.query = request.query ? test::U8(*request.query) : ""};
    if (request.more_entity_body) {
      std::vector<std::byte> piece(1000);
      uint32_t status = 0;
      do {
        uint32_t bytes = 0;
        status = server.ReceiveEntityBody(request.id, piece, &bytes);
        taken.body += bytes;
      } while (status == 0);
    }
    HttpResponse response = ServiceReply();
    const std::string body = Answer(taken.query);
    response.body = body;
    taken.reply_status = server.SendResponse(request.id, response);
    std::lock_guard lock(mutex_);
    taken_[request.id] = taken;
  }

  mutable std::mutex mutex_;
  std::map<RequestId, Taken> taken_;
  LoopThread thread_;
};

class HttpServerFaultsTest : public HttpServerTest {
 protected:
  void SetUp() override {
    HttpServerTest::SetUp();
    SetIoFaultsForTesting(&faults_);
    // The bystander's connection stays open through every round.
    limits_.idle_timeout = std::chrono::minutes(5);
    Start();
  }
  void TearDown() override {
    HttpServerTest::TearDown();
    SetIoFaultsForTesting(nullptr);
  }

  // One request on the connection.
  struct Step {
    std::string query;
    std::string bytes;
    size_t body_size = 0;
    // Sent after the interim "100 Continue" that the header asked for; else none is awaited.
    std::string body_after_continue;
  };
  // What the client saw of each request in turn until its connection ended: the reply body,
  // or nothing for a request whose connection ended first.
  std::vector<std::string> RunConnection(const std::vector<Step>& steps, bool* ended_quickly) {
    std::vector<std::string> seen;
    *ended_quickly = true;
    auto client = NewClient();
    if (!client->error().empty()) return seen;
    for (const Step& step : steps) {
      const auto started = Clock::now();
      const auto ended = [&] {
        // A client must learn of the end at once, not by waiting out its own timeout.
        *ended_quickly = Clock::now() - started < 2s;
        return seen;
      };
      if (!client->Send(step.bytes)) return ended();
      if (!step.body_after_continue.empty()) {
        const auto interim = client->ReadReply(3s);
        if (!interim) return ended();
        EXPECT_EQ(interim->status_line, "HTTP/1.1 100 Continue");
        if (!client->Send(step.body_after_continue)) return ended();
      }
      const auto reply = client->ReadReply(3s);
      if (!reply) return ended();
      EXPECT_EQ(reply->status_line, "HTTP/1.1 200 OK");
      seen.push_back(reply->body);
    }
    // The last request closes the connection: nothing more comes, and the end comes at once.
    *ended_quickly = client->ClosedByServer(2s);
    return seen;
  }

  StepFaults faults_;
};

TEST_F(HttpServerFaultsTest, FailingStepEndsItsConnectionAloneAndNoRequestIsLost) {
  Loop loop(*server_);
  const std::string post_head = "POST /?n=2 HTTP/1.1\r\nHost: localhost\r\nContent-Length: "
                                "3000\r\nExpect: 100-continue\r\n\r\n";
  const std::vector<Step> steps = {
      {"?n=1", Get("/?n=1"), 0, ""},
      {"?n=2", post_head, 3000, std::string(3000, 'b')},
      {"?n=3", test::PostRequest("/?n=3", std::string(20000, 'c')), 20000, ""},
      {"?n=4", Get("/?n=4", "Connection: close\r\n"), 0, ""},
  };

  auto bystander = Connect();
  ASSERT_TRUE(bystander->Send(Get("/?bystander")));
  ASSERT_TRUE(bystander->ReadReply(3s));

  int rounds = 0;
  for (int fail_at = 1; fail_at < 100; ++fail_at) {
    faults_.Arm(fail_at);
    const RequestId before = loop.LastId() + 1;
    bool ended_quickly = false;
    const std::vector<std::string> seen = RunConnection(steps, &ended_quickly);
    std::string trace;
    const bool fired = faults_.Fired(&trace);
    SCOPED_TRACE("connection: " + trace);
    EXPECT_TRUE(ended_quickly);

    // Each reply the client read is its own request's, in order, once.
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], Answer(steps[i].query));

    // The bystander, on its connection from before, and a new connection are both served.
    ASSERT_TRUE(bystander->Send(Get("/?bystander")));
    const auto bystander_reply = bystander->ReadReply(3s);
    ASSERT_TRUE(bystander_reply);
    EXPECT_EQ(bystander_reply->body, Answer("?bystander"));
    const auto fresh = test::Exchange(port_, certificate_.ca_certificate, Get("/?fresh"));
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->body, Answer("?fresh"));

    // What the loop took of the failing connection: each request once; a reply reported
    // written reached the client, and one that did not was reported failed, never lost.
    std::map<std::string, Loop::Taken> taken;
    for (const auto& [id, request] : loop.TakenSince(before)) {
      if (request.query == "?bystander" || request.query == "?fresh") continue;
      EXPECT_TRUE(taken.emplace(request.query, request).second) << request.query << " twice";
    }
    for (size_t i = 0; i < steps.size(); ++i) {
      const auto it = taken.find(steps[i].query);
      if (i < seen.size()) {
        ASSERT_NE(it, taken.end()) << steps[i].query << " answered but never taken";
        EXPECT_EQ(it->second.reply_status, 0u) << steps[i].query;
        EXPECT_EQ(it->second.body, steps[i].body_size) << steps[i].query;
      } else if (i == seen.size()) {
        // The request under way when the connection ended: not taken, or its reply failed.
        if (it != taken.end()) {
          EXPECT_EQ(it->second.reply_status, kErrorConnectionInvalid) << steps[i].query;
        }
      } else {
        EXPECT_EQ(it, taken.end()) << steps[i].query << " taken after its connection ended";
      }
    }
    if (!fired) {
      // The failure would have come past the connection's last step: it ran whole.
      EXPECT_EQ(seen.size(), steps.size());
      break;
    }
    ++rounds;
  }
  // Handshake, reads and writes of four requests, and the close.
  EXPECT_GE(rounds, 10);
}

}  // namespace
}  // namespace vemo::platform
