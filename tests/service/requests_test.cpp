// The bank page's requests end to end over HTTPS on localhost:9009 with the scripted modules:
// query actions, document signing, the option header, stop and exit.

#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

#include "support/base64.h"
#include "tests/service/service_fixture.h"

namespace vemo::test {
namespace {

const std::string kBadRequest = R"({"error":"Ошибочный запрос","status":"OK"})";
const std::string kSigningError = R"({"error":"signing error","status":"OK"})";
const std::string kDocument = Base64Encode(std::string("document to sign"));

// The fake signs with the bytes 0, 1, 2, ...
std::string FakeSignature(int length) {
  std::string bytes;
  for (int i = 0; i < length; ++i) bytes.push_back(static_cast<char>(i));
  return Base64Encode(bytes);
}

std::string SignedReply(const std::string& token_id, int length = 64) {
  return R"({"sign":")" + FakeSignature(length) + R"(","status":"OK","tokenId":")" + token_id +
         R"("})";
}

class AvestRequestsTest : public ServiceTest {
 protected:
  void SetUp() override {
    // As the window has it: "Авест" listed and selected.
    service_.provider_box().Add(kAvestName);
    service_.provider_box().Select(0);
    providers_.StartByName(kAvestName, service_);
    ASSERT_TRUE(service_.ServerRunning());
    ClearLog();
  }
  std::string Sign(const std::string& headers = "") {
    return PostBody("/?action=getDocSign", kDocument, headers);
  }
};

TEST_F(AvestRequestsTest, QueryActions) {
  struct Case {
    std::string target;
    std::string body;
    std::string entry;
  };
  const Case cases[] = {
      {"/?action=checkLs", R"({"status":"OK"})", "Get request ok | ?action=checkLs"},
      {"/?action=version", R"({"status":"OK","version":"2.3.2"})",
       "Get request ok | ?action=version | Return message: 2.3.2"},
      {"/?action=Version", kBadRequest,
       "Invalid get request | ?action=Version | Return message: invalid get request"},
      {"/?action=version&x=1", kBadRequest,
       "Invalid get request | ?action=version&x=1 | Return message: invalid get request"},
      {"/?action=checkls", kBadRequest,
       "Invalid get request | ?action=checkls | Return message: invalid get request"},
      {"/?x=1&action=checkLs", kBadRequest,
       "Invalid get request | ?x=1&action=checkLs | Return message: expected ?action="},
      {"/?Action=checkLs", kBadRequest,
       "Invalid get request | ?Action=checkLs | Return message: expected ?action="},
      {"/", kBadRequest, "Request string is empty"},
      {"/some/path", kBadRequest, "Request string is empty"},
      {"/?action=check%4Cs", kBadRequest,
       "Invalid get request | ?action=check%4Cs | Return message: invalid get request"},
  };
  for (const auto& c : cases) {
    ClearLog();
    EXPECT_EQ(GetBody(c.target), c.body) << c.target;
    EXPECT_EQ(Log(), std::vector<std::string>{c.entry}) << c.target;
  }
}

TEST_F(AvestRequestsTest, SignsADocumentSentInPiecesAsOne) {
  const std::string document(3000, 'z');
  const std::string body = Base64Encode(document);
  TlsClient client(kPort, Ca());
  ASSERT_TRUE(
      client.Send("POST /?action=getDocSign HTTP/1.1\r\nHost: localhost\r\n"
                  "Content-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n"));
  for (size_t at = 0; at < body.size(); at += 1000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(client.Send(body.substr(at, 1000)));
  }
  auto reply = client.ReadReply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, SignedReply("Avest"));
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "Post request data reading | ?action=getDocSign",
                       "Read bytes  | " + std::to_string(body.size()),
                       "AvCmLogin retCode | 0",
                       "AvCmSign retCode | 0",
                   }));
  const auto signs = fakes_.Calls("sign_Avest");
  ASSERT_EQ(signs.size(), 1u);
  EXPECT_NE(signs[0].find("length=3000 capacity=8192 flags=2100100"), std::string::npos)
      << signs[0];
}

TEST_F(AvestRequestsTest, ChunkedBodyIsSignedToo) {
  TlsClient client(kPort, Ca());
  const std::string half = kDocument.substr(0, 8), rest = kDocument.substr(8);
  ASSERT_TRUE(
      client.Send("POST /?action=getDocSign HTTP/1.1\r\nHost: localhost\r\n"
                  "Transfer-Encoding: chunked\r\n\r\n" +
                  std::to_string(half.size()) + "\r\n" + half + "\r\n"));
  std::ostringstream size;
  size << std::hex << rest.size();
  ASSERT_TRUE(client.Send(size.str() + "\r\n" + rest + "\r\n0\r\n\r\n"));
  auto reply = client.ReadReply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, SignedReply("Avest"));
}

TEST_F(AvestRequestsTest, FailuresGetTheirReplyAndEntry) {
  struct Case {
    std::string name;
    std::string script_key, script_value;
    std::string body;
    std::string reply;
    std::string failure;  // the "Sign failed" return message, empty for none
  };
  const Case cases[] = {
      {"library unusable", "AvCmLogin", "0xFF01", kDocument,
       R"({"error":"Ошибка загрузки библиотеки AvCryptMail.dll","status":"OK"})",
       "Avest dll error"},
      {"Avest code with its text", "sign_Avest", "0xE82A0130", kDocument,
       R"({"error":"Сертификат отозван","errorCode":222,"status":"OK"})", "Avest error"},
      {"Avest code without a text", "sign_Avest", "0xE82A0110", kDocument,
       R"({"error":"Неописанная ошибка Авест","errorCode":222,"status":"OK"})", "Avest error"},
      {"code of no group", "sign_Avest", "1", kDocument, kSigningError,
       "unknown signing error, check retcodes"},
      {"not Base64", "", "", "not base64!", R"({"error":"Ошибка кодировки данных","status":"OK"})",
       "Data base64 error"},
      {"Base64 ending in CR LF", "", "", kDocument + "\r\n",
       R"({"error":"Ошибка кодировки данных","status":"OK"})", "Data base64 error"},
  };
  for (const auto& c : cases) {
    fakes_.Set("AvCmLogin", "0");
    fakes_.Set("sign_Avest", "0");
    if (!c.script_key.empty()) fakes_.Set(c.script_key, c.script_value);
    providers_.avest().Forget();
    ClearLog();
    EXPECT_EQ(PostBody("/?action=getDocSign", c.body), c.reply) << c.name;
    const auto log = Log();
    ASSERT_FALSE(log.empty()) << c.name;
    EXPECT_EQ(log.back(), "Sign failed | Return message: " + c.failure) << c.name;
  }
}

TEST_F(AvestRequestsTest, QueryAndBodyChecks) {
  struct Case {
    std::string name;
    std::string request;
    std::string reply;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"no query", PostRequest("/", kDocument), kBadRequest, {"Request string is empty"}},
      {"other parameter first",
       PostRequest("/?x=1&action=getDocSign", kDocument),
       kBadRequest,
       {"Invalid post request | ?x=1&action=getDocSign | Return message: expected ?action="}},
      {"action in small letters",
       PostRequest("/?action=getdocsign", kDocument),
       kBadRequest,
       {"Invalid post request | ?action=getdocsign | Return message: invalid post request"}},
      {"no body",
       "POST /?action=getDocSign HTTP/1.1\r\nHost: localhost\r\n\r\n",
       R"({"error":"Отсутствуют данные в запросе","status":"OK"})",
       {"Post request data missing | ?action=getDocSign"}},
      {"zero-length body",
       PostRequest("/?action=getDocSign", ""),
       R"({"error":"Отсутствуют данные в запросе","status":"OK"})",
       {"Post request data missing | ?action=getDocSign"}},
      {"empty chunked body",
       "POST /?action=getDocSign HTTP/1.1\r\nHost: localhost\r\n"
       "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       kSigningError,
       {"Post request data reading | ?action=getDocSign", "Read bytes  | 0",
        "Sign failed | Return message: unknown signing error, check retcodes"}},
      {"declared size above the largest body",
       "POST /?action=getDocSign HTTP/1.1\r\nHost: localhost\r\nContent-Length: "
       "99999999999\r\n\r\n",
       kBadRequest,
       {"Post request data too large | 99999999999"}},
  };
  for (const auto& c : cases) {
    ClearLog();
    auto reply = Send(c.request);
    ASSERT_TRUE(reply) << c.name;
    EXPECT_EQ(reply->body, c.reply) << c.name;
    EXPECT_EQ(Log(), c.log) << c.name;
  }
  EXPECT_TRUE(fakes_.Calls("sign_Avest").empty());
}

TEST_F(AvestRequestsTest, ContentLengthThatIsNotAPlainNumberIsABadRequest) {
  // Without a length that can be trusted the body's end is unknown, so the connection ends
  // with the refusal; nothing is allocated and nothing is signed.
  for (const std::string length : {"abc", "-5", "+5", "1e3", "5, 6", "0x10"}) {
    TlsClient client(kPort, Ca());
    ASSERT_TRUE(
        client.Send("POST /?action=getDocSign HTTP/1.1\r\nHost: localhost\r\n"
                    "Content-Length: " +
                    length + "\r\n\r\nQUJD"));
    auto reply = client.ReadReply();
    ASSERT_TRUE(reply) << length;
    EXPECT_EQ(reply->status_line, "HTTP/1.1 400 Bad Request") << length;
    EXPECT_TRUE(client.ClosedByServer(std::chrono::seconds(2))) << length;
  }
  EXPECT_TRUE(fakes_.Calls("sign_Avest").empty());
  EXPECT_EQ(Sign(), SignedReply("Avest"));
}

TEST_F(AvestRequestsTest, ChunkedBodyBeyondTheDefaultSizeIsRefused) {
  TlsClient client(kPort, Ca());
  ASSERT_TRUE(
      client.Send("POST /?action=getDocSign HTTP/1.1\r\nHost: localhost\r\n"
                  "Transfer-Encoding: chunked\r\n\r\n"));
  const std::string chunk(1 << 20, 'A');
  std::ostringstream head;
  head << std::hex << chunk.size() << "\r\n";
  for (int i = 0; i < 21; ++i) {
    if (!client.Send(head.str() + chunk + "\r\n")) break;  // the server may stop reading
  }
  client.Send("0\r\n\r\n");
  auto reply = client.ReadReply(std::chrono::seconds(30));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, kBadRequest);
  EXPECT_EQ(Log().back(), "Post request data too large | ?action=getDocSign");
  EXPECT_TRUE(fakes_.Calls("sign_Avest").empty());
  // The next request is served.
  EXPECT_EQ(GetBody("/?action=checkLs"), R"({"status":"OK"})");
}

TEST_F(AvestRequestsTest, ClientLeavingMidBodyEndsOnlyThatRequest) {
  {
    TlsClient client(kPort, Ca());
    ASSERT_TRUE(
        client.Send("POST /?action=getDocSign HTTP/1.1\r\nHost: localhost\r\n"
                    "Content-Length: 1000\r\n\r\nQUJD"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }  // gone
  // The server ends it before the loop ever sees it.
  EXPECT_TRUE(WaitFor([&] {
    const auto log = Log();
    return !log.empty() &&
           log.back() == "Request data cut short, connection closed | ?action=getDocSign";
  }));
  EXPECT_EQ(Sign(), SignedReply("Avest"));
}

TEST_F(AvestRequestsTest, OptionHeaderSetsTheFlagsOfEveryLaterLogin) {
  struct Step {
    std::string headers;
    int flags;  // that the login of this request uses
  };
  const Step steps[] = {
      {"", 0},
      {"option: 8\r\n", 8},
      {"", 8},                            // kept for a request without it
      {"Option: 1\r\n", 8},               // not the option header
      {"option: 2\r\n", 8},               // ignored
      {"option: 10\r\n", 8},              // ignored
      {"option: 1\r\noption: 9\r\n", 9},  // the last one counts
      {"option: 1x\r\n", 1},              // the number at the start
  };
  for (const auto& step : steps) {
    providers_.avest().Forget();  // so that every signing logs in
    fakes_.ClearCalls();
    EXPECT_EQ(Sign(step.headers), SignedReply("Avest")) << step.headers;
    const auto logins = fakes_.Calls("AvCmLogin");
    ASSERT_EQ(logins.size(), 1u) << step.headers;
    EXPECT_EQ(logins[0].rfind("AvCmLogin flags=" + std::to_string(step.flags) + " ", 0), 0u)
        << logins[0];
  }
  // The flags are taken before the body is looked at.
  PostBody("/?action=getDocSign", "", "option: 9\r\n");
  EXPECT_EQ(providers_.avest().LoginFlags(), 9);
}

TEST_F(AvestRequestsTest, ForgetLogsOutAndTheNextSigningLogsInAgain) {
  EXPECT_EQ(Sign(), SignedReply("Avest"));
  EXPECT_EQ(Sign(), SignedReply("Avest"));
  EXPECT_EQ(fakes_.Calls("AvCmLogin").size(), 1u);  // one login for both
  EXPECT_EQ(GetBody("/?action=forget"), R"({"status":"OK"})");
  EXPECT_EQ(fakes_.Calls("AvCmLogout").size(), 1u);
  EXPECT_EQ(Sign(), SignedReply("Avest"));
  EXPECT_EQ(fakes_.Calls("AvCmLogin").size(), 2u);
}

TEST_F(AvestRequestsTest, EmptyActiveProviderIsASigningError) {
  providers_.active().Set(u"");
  EXPECT_EQ(Sign(), kSigningError);
  EXPECT_EQ(Log().back(), "Sign failed | Return message: unknown signing error, check retcodes");
}

TEST_F(AvestRequestsTest, ExitWhileAvestServesLogsOutFromTheToken) {
  EXPECT_EQ(Sign(), SignedReply("Avest"));
  fakes_.ClearCalls();
  service_.ExitApplication();
  EXPECT_EQ(exit_codes_, std::vector<int>{0});
  const auto calls = fakes_.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].rfind("AvCmLogout", 0), 0u);
  EXPECT_EQ(calls[1], "AvCmInit mode=2");
  EXPECT_FALSE(window_.TrayPresent());
}

TEST_F(AvestRequestsTest, ExitWhileStoppedUnloadsNothing) {
  service_.StopServer();
  fakes_.ClearCalls();
  service_.ExitApplication();
  EXPECT_EQ(exit_codes_, std::vector<int>{0});
  EXPECT_TRUE(fakes_.Calls().empty());
}

class EnigmaRequestsTest : public ServiceTest {
 protected:
  void SetUp() override {
    observer_ = std::make_unique<FakeObserver>(home_.path() / "enigma");
    fakes_.Set("sign_Enigma.password", "secret");
    providers_.StartByName(kEnigmaName, service_);
    ASSERT_TRUE(service_.ServerRunning());
  }
  std::string Sign() { return PostBody("/?action=getDocSign", kDocument); }
  std::unique_ptr<FakeObserver> observer_;
};

TEST_F(EnigmaRequestsTest, SignsWithThePasswordAndForgetClearsIt) {
  prompt_.QueuePasswords({u"secret"});
  EXPECT_EQ(Sign(), SignedReply("Enigma", 512));
  EXPECT_EQ(Sign(), SignedReply("Enigma", 512));
  EXPECT_EQ(prompt_.DialogCount(), 1);

  // Forget: the next signing within the keeper's time passes an empty password, no dialog.
  EXPECT_EQ(GetBody("/?action=forget"), R"({"status":"OK"})");
  EXPECT_EQ(Sign(),
            R"({"error":"Ошибка ввода пароля токена Энигма","errorCode":222,"status":"OK"})");
  EXPECT_EQ(prompt_.DialogCount(), 1);
  const auto calls = fakes_.Calls("sign_Enigma");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_NE(calls[2].find("password= "), std::string::npos) << calls[2];
}

TEST_F(EnigmaRequestsTest, EnigmaCodeReachesTheReply) {
  fakes_.Set("sign_Enigma", "40");
  prompt_.QueuePasswords({u"secret"});
  EXPECT_EQ(Sign(), R"({"error":"Истек ключ токена Энигма","errorCode":222,"status":"OK"})");
  EXPECT_EQ(Log().back(), "Sign failed | Return message: unknown signing error, check retcodes");
}

TEST_F(EnigmaRequestsTest, StopEmptiesTheCacheSoTheNextSigningAsksAgain) {
  prompt_.QueuePasswords({u"secret"});
  EXPECT_EQ(Sign(), SignedReply("Enigma", 512));
  service_.StopServer();
  providers_.StartByName(kEnigmaName, service_);
  prompt_.QueuePasswords({u"secret"});
  EXPECT_EQ(Sign(), SignedReply("Enigma", 512));
  EXPECT_EQ(prompt_.DialogCount(), 2);
}

// A stop or the program's end while the password dialog is open: the dialog closes as after
// Cancel, the page gets the 52 reply, and the UI thread waits no longer than the loop's stop
// wait (2 s), since the loop never waits for the UI thread.
TEST_F(EnigmaRequestsTest, StopAndExitWhileThePasswordDialogIsOpenAnswerCancelled) {
  const std::string cancelled =
      R"({"error":"Подпись токеном Энигма отменена пользователем","errorCode":222,"status":"OK"})";
  const auto stop_wait = std::chrono::seconds(2);
  prompt_.HoldDialogs();
  auto sign_while = [&](const std::function<void()>& ui_action) {
    std::string reply;
    std::thread page([&] { reply = Sign(); });
    EXPECT_TRUE(WaitFor([&] { return prompt_.IsOpen(); }));
    const auto start = std::chrono::steady_clock::now();
    ui_action();
    EXPECT_LT(std::chrono::steady_clock::now() - start, stop_wait);
    page.join();
    EXPECT_EQ(reply, cancelled);
  };

  {
    SCOPED_TRACE("stop");
    sign_while([&] { service_.StopServer(); });
    EXPECT_FALSE(service_.ServerRunning());
    EXPECT_EQ(prompt_.ClosedCount(), 1);
  }
  {
    SCOPED_TRACE("exit");
    // As main() runs it: the exit asks the UI loop to end, then the service is destroyed.
    Providers providers(prompt_);
    auto service = std::make_unique<SigningService>(window_, providers, Options());
    providers.StartByName(kEnigmaName, *service);
    ASSERT_TRUE(service->ServerRunning());
    sign_while([&] {
      service->ExitApplication();
      service.reset();
    });
    EXPECT_EQ(exit_codes_, std::vector<int>{0});
    EXPECT_EQ(prompt_.ClosedCount(), 2);
    EXPECT_EQ(prompt_.DialogCount(), 2);
  }
}

class Enigma2RequestsTest : public ServiceTest {
 protected:
  void SetUp() override { providers_.Enigma2Start(service_); }
};

TEST_F(Enigma2RequestsTest, SigningIsASigningErrorAndForgetIsAnswered) {
  EXPECT_EQ(PostBody("/?action=getDocSign", kDocument), kSigningError);
  EXPECT_EQ(Log().back(), "Sign failed | Return message: unknown signing error, check retcodes");
  EXPECT_EQ(GetBody("/?action=forget"), R"({"status":"OK"})");
  EXPECT_EQ(GetBody("/?action=version"), R"({"status":"OK","version":"2.3.2"})");
  EXPECT_TRUE(fakes_.Calls().empty());
}

}  // namespace
}  // namespace vemo::test
