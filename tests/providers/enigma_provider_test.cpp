// The Enigma provider with the real process list (a running fake observer), the scripted
// sign_Enigma of the fake FCP and real files in a temporary HOME.

#include "providers/enigma_provider.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "providers/avest_provider.h"  // kSignatureBufferSize
#include "support/base64.h"
#include "support/event_log.h"
#include "support/result_code.h"
#include "tests/fakes/fake_modules.h"
#include "tests/fakes/test_support.h"
#include "tests/providers/fake_host.h"

namespace vemo::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Answers = std::vector<std::optional<std::u16string>>;

constexpr char kPassword[] = "secret";

class EnigmaProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEventLog(home_.DataFolder());
    SetProcessCodePage(NarrowCodePage::kDefault);
    fakes_.Set("sign_Enigma.password", kPassword);
  }
  void TearDown() override { ResetEventLogForTesting(); }

  fs::path ObserverFolder() const { return home_.path() / "observer"; }
  fs::path TempFile() const { return home_.RuntimeDir() / "sign.tmp"; }

  void MakeProvider(milliseconds keeper_delay = milliseconds(1000)) {
    provider_ = std::make_unique<EnigmaProvider>(active_, prompt_,
                                                 ProviderTimings{keeper_delay, milliseconds(100)});
  }
  // A provider started with a running observer (in ObserverFolder() unless told otherwise).
  void StartWithObserver(milliseconds keeper_delay = milliseconds(1000)) {
    MakeProvider(keeper_delay);
    FakeObserver observer(ObserverFolder());
    provider_->Start(host_);
    ASSERT_EQ(host_.steps(), kCompletedStart);
  }
  ResultCode Sign(std::string document = std::string(1000, 'd')) {
    length_ = kSignatureBufferSize;
    buffer_.assign(kSignatureBufferSize + 64, '\x5A');
    return provider_->Sign(std::move(document), buffer_.data(), &length_);
  }
  std::string Text() const { return std::string(buffer_.data(), static_cast<size_t>(length_)); }
  bool GuardIntact() const {
    return std::string(buffer_.begin() + kSignatureBufferSize, buffer_.end()) ==
           std::string(64, '\x5A');
  }
  std::vector<std::string> Log() const { return EventLogEntries(LogPath()); }
  std::vector<std::string> SignCalls() const { return fakes_.Calls("sign_Enigma"); }
  // A field of the last sign_Enigma call ("folder", "temp", "password", "size"): the narrow
  // texts it was handed. "(none)" without a call.
  std::string Last(const std::string& name) const {
    const auto calls = SignCalls();
    if (calls.empty()) return "(none)";
    const std::string& call = calls.back();
    const size_t start = call.find(" " + name + "=") + name.size() + 2;
    return call.substr(start, call.find(' ', start) - start);
  }

  TempHome home_;
  FakeModules fakes_{home_.path() / "fake"};
  RecordingWindow window_;
  ScriptedPrompt prompt_;
  FakeHost host_{window_};
  ActiveProvider active_;
  std::unique_ptr<EnigmaProvider> provider_;
  std::vector<char> buffer_;
  int32_t length_ = 0;
};

TEST_F(EnigmaProviderTest, SignsThroughTheTemporaryFile) {
  StartWithObserver();
  EXPECT_TRUE(active_.Is(kEnigmaName));
  prompt_.QueuePasswords({u"secret"});
  ASSERT_EQ(Sign(), 0);
  ASSERT_EQ(SignCalls().size(), 1u);
  EXPECT_EQ(Last("folder"), ObserverFolder().string() + "/");
  EXPECT_EQ(Last("temp"), TempFile().string());
  EXPECT_EQ(Last("password"), kPassword);
  EXPECT_EQ(Last("size"), "1000");
  // 1512 bytes after signing: the last 512 are the signature.
  EXPECT_EQ(length_, 684);
  const std::string signature = Base64Decode(Text());
  ASSERT_EQ(signature.size(), 512u);
  for (size_t i = 0; i < signature.size(); ++i) {
    ASSERT_EQ(static_cast<unsigned char>(signature[i]), i % 256) << i;
  }
  EXPECT_TRUE(GuardIntact());
  EXPECT_FALSE(fs::exists(TempFile()));
  EXPECT_EQ(Log(), std::vector<std::string>{"Enigma exec retCode | 0"});
}

TEST_F(EnigmaProviderTest, PasswordDialogOutcomes) {
  struct Case {
    const char* name;
    Answers answers;
    ResultCode expected;
    int dialogs;
    size_t sign_calls;
    bool file_stays;
  };
  const std::vector<Case> cases = {
      {"wrong then right", {u"wrong", u"secret"}, 0, 2, 2, false},
      {"three wrong", {u"a", u"b", u"c", u"secret"}, kEnigmaWrongPassword, 3, 3, true},
      {"empty", {u""}, kEnigmaCancelled, 1, 0, true},
      {"cancel", {std::nullopt}, kEnigmaCancelled, 1, 0, true},
      {"wrong then cancel", {u"wrong", std::nullopt}, kEnigmaCancelled, 2, 1, true},
      // The field takes 20 characters; the rest never reaches the signer.
      {"cut to the field", {u"secret78901234567890tail"}, 0, 1, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fakes_.ClearCalls();
    fakes_.Set("sign_Enigma.password",
               c.name == std::string("cut to the field") ? "secret78901234567890" : kPassword);
    ScriptedPrompt prompt;
    EnigmaProvider provider(active_, prompt);
    ASSERT_EQ(fs::exists(TempFile()), false) << "left by the case before";
    {
      FakeObserver observer(ObserverFolder());
      provider.Start(host_);
    }
    prompt.QueuePasswords(c.answers);
    std::vector<char> buffer(kSignatureBufferSize);
    int32_t length = kSignatureBufferSize;
    EXPECT_EQ(provider.Sign(std::string(10, 'd'), buffer.data(), &length), c.expected);
    EXPECT_EQ(prompt.DialogCount(), c.dialogs);
    EXPECT_EQ(SignCalls().size(), c.sign_calls);
    EXPECT_EQ(fs::exists(TempFile()), c.file_stays);
    fs::remove(TempFile());
  }
  // Only the signings that reached the end are logged.
  EXPECT_EQ(Log(), std::vector<std::string>(2, "Enigma exec retCode | 0"));
}

TEST_F(EnigmaProviderTest, OtherSignerResultsPassThroughUnlogged) {
  StartWithObserver();
  fakes_.Set("sign_Enigma.password", "*");
  fakes_.Set("sign_Enigma", "40");
  prompt_.QueuePasswords({u"x", u"y"});
  EXPECT_EQ(Sign(), kEnigmaKeyExpired);
  EXPECT_EQ(prompt_.DialogCount(), 1);
  EXPECT_TRUE(fs::exists(TempFile()));
  EXPECT_TRUE(Log().empty());
}

TEST_F(EnigmaProviderTest, PasswordIsHandedOnInCodePage1251) {
  StartWithObserver();
  fakes_.Set("sign_Enigma.password", "\xEF\xE0\xF0\xEE\xEB\xFC");  // "пароль"
  prompt_.QueuePasswords({u"пароль"});
  EXPECT_EQ(Sign(), 0);
  EXPECT_EQ(prompt_.DialogCount(), 1);
}

TEST_F(EnigmaProviderTest, CachedPasswordServesUntilTheKeeperExpiresIt) {
  StartWithObserver(milliseconds(1000));
  prompt_.QueuePasswords({u"secret", std::nullopt, u"secret"});
  const auto before_caching = std::chrono::steady_clock::now();
  ASSERT_EQ(Sign(), 0);
  ASSERT_EQ(Sign(), 0);
  EXPECT_EQ(prompt_.DialogCount(), 1);
  EXPECT_EQ(Last("password"), kPassword);

  // Signing on until the dialog comes back: that is the expiry.
  ASSERT_TRUE(WaitFor([&] {
    const ResultCode result = Sign();
    return result != 0 || prompt_.DialogCount() > 1;
  }));
  EXPECT_GE(std::chrono::steady_clock::now() - before_caching, milliseconds(1000));
  EXPECT_EQ(prompt_.DialogCount(), 2);  // cancelled: 52
  // An expired cache stays expired after a cancel, until a password signs again.
  ASSERT_EQ(Sign(), 0);
  EXPECT_EQ(prompt_.DialogCount(), 3);
  ASSERT_EQ(Sign(), 0);
  EXPECT_EQ(prompt_.DialogCount(), 3);
}

TEST_F(EnigmaProviderTest, ForgetLeavesAnEmptyPasswordThatIsNotRetried) {
  StartWithObserver();
  prompt_.QueuePasswords({u"secret", u"secret"});
  ASSERT_EQ(Sign(), 0);
  provider_->Forget();
  EXPECT_EQ(Sign(), kEnigmaWrongPassword);
  EXPECT_EQ(prompt_.DialogCount(), 1);
  EXPECT_EQ(Last("password"), "");
  EXPECT_FALSE(fs::exists(TempFile()));
  EXPECT_EQ(Log().back(), "Enigma exec retCode | 26");
}

TEST_F(EnigmaProviderTest, ClearCacheMakesTheNextSigningAsk) {
  StartWithObserver();
  prompt_.QueuePasswords({u"secret", u"secret"});
  ASSERT_EQ(Sign(), 0);
  provider_->ClearCache();
  ASSERT_EQ(Sign(), 0);
  EXPECT_EQ(prompt_.DialogCount(), 2);
}

TEST_F(EnigmaProviderTest, PasswordsThatLeaveNoRoomForTheNulAreNotCached) {
  MakeProvider();
  EXPECT_EQ(provider_->CachePassword(std::string(40, 'x')), 1);
  EXPECT_EQ(provider_->CachePassword(std::string(39, 'x')), 0);
  FakeObserver observer(ObserverFolder());
  provider_->Start(host_);
  fakes_.Set("sign_Enigma.password", std::string(39, 'x'));
  EXPECT_EQ(Sign(), 0);
  EXPECT_EQ(prompt_.DialogCount(), 0);
}

TEST_F(EnigmaProviderTest, LeftoverTemporaryFilesAreReplaced) {
  StartWithObserver();
  struct Case {
    const char* name;
    bool link;
  };
  for (const Case& c : {Case{"read-only file", false}, Case{"planted link", true}}) {
    SCOPED_TRACE(c.name);
    const fs::path outside = home_.path() / "outside";
    WriteFileBytes(outside, "keep");
    ::chmod(outside.c_str(), 0444);
    if (c.link) {
      fs::create_symlink(outside, TempFile());
    } else {
      WriteFileBytes(TempFile(), "stale");
      ::chmod(TempFile().c_str(), 0444);
    }
    prompt_.QueuePasswords({u"secret"});
    provider_->ClearCache();
    ASSERT_EQ(Sign(), 0);
    EXPECT_EQ(Last("size"), "1000");
    EXPECT_FALSE(fs::exists(fs::symlink_status(TempFile())));
    EXPECT_EQ(ReadFileBytes(outside), "keep");
    EXPECT_EQ(fs::status(outside).permissions() & fs::perms::all, fs::perms(0444));
    fs::permissions(outside, fs::perms::owner_write, fs::perm_options::add);
    fs::remove(outside);
  }
}

TEST_F(EnigmaProviderTest, SignatureOutsideTheFileOrTheBufferFails) {
  struct Case {
    const char* key;
    const char* value;
    ResultCode expected;
    int32_t text_length;
  };
  const std::vector<Case> cases = {
      {"sign_Enigma.truncate", "500", kEnigmaTempFileError, 0},  // shorter than the document
      {"sign_Enigma.truncate", "1000", 0, 0},                    // an empty signature
      {"sign_Enigma.append", "6141", 0, 8188},
      {"sign_Enigma.append", "6142", kSigningError, 0},
  };
  StartWithObserver();
  prompt_.QueuePasswords({u"secret"});
  ASSERT_EQ(Sign(), 0);  // from here on the cached password signs
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    FakeModules fakes(home_.path() / "fake");
    fakes.Set("sign_Enigma.password", kPassword);
    fakes.Set(c.key, c.value);
    EXPECT_EQ(Sign(), c.expected);
    EXPECT_TRUE(GuardIntact());
    EXPECT_EQ(Log().back(), "Enigma exec retCode | 0");
    if (c.expected == 0) {
      EXPECT_EQ(length_, c.text_length);
    }
    fs::remove(TempFile());
  }
}

TEST_F(EnigmaProviderTest, ObserverFolderFromAnEarlierStartIsKept) {
  StartWithObserver();  // the observer stops at the end
  host_.set_running(false);
  provider_->Start(host_);
  EXPECT_TRUE(window_.Texts("message").empty());
  EXPECT_EQ(host_.steps().size(), 2 * kCompletedStart.size());
  prompt_.QueuePasswords({u"secret"});
  ASSERT_EQ(Sign(), 0);
  EXPECT_EQ(Last("folder"), ObserverFolder().string() + "/");
}

TEST_F(EnigmaProviderTest, NoObserverEverShowsTheMessageBox) {
  MakeProvider();
  provider_->Start(host_);
  EXPECT_TRUE(active_.Is(kEnigmaName));
  EXPECT_EQ(window_.Texts("message"),
            std::vector<std::string>{"MCardObserver для токена ЭНИГМЫ не запущен"});
  EXPECT_TRUE(host_.steps().empty());
}

TEST_F(EnigmaProviderTest, MissingSignProgramWarnsAtStartAndFailsTheSigning) {
  MakeProvider();
  {
    FakeObserver observer(ObserverFolder(), /*with_sign_program=*/false);
    provider_->Start(host_);
  }
  EXPECT_EQ(window_.Texts("untimed"),
            std::vector<std::string>{"Убедитесь в готовности к работе токена ЭНИГМЫ"});
  EXPECT_EQ(host_.steps(), kCompletedStart);
  EXPECT_EQ(Sign(), kEnigmaNoSignProgram);
  EXPECT_TRUE(fs::exists(TempFile()));
  EXPECT_EQ(prompt_.DialogCount(), 0);
}

// At program start the default code page cuts the folder before its first Cyrillic letter;
// a start after the code page became 1251 hands the whole folder on.
TEST_F(EnigmaProviderTest, CyrillicObserverFolderDependsOnTheCodePageAtStart) {
  const fs::path parent = home_.path() / "obs";
  const fs::path folder = parent / fs::path(u8"Папка");
  MakeProvider();
  {
    FakeObserver observer(folder);
    provider_->Start(host_);
    prompt_.QueuePasswords({u"secret", u"secret"});
    EXPECT_EQ(Sign(), kEnigmaNoSignProgram) << "the cut folder has no sign program";
    fs::create_directories(parent / "PacMcard");
    WriteFileBytes(parent / "PacMcard" / "sign.exe", "");
    ASSERT_EQ(Sign(), 0);
    EXPECT_EQ(Last("folder"), parent.string() + "/");

    host_.set_running(false);
    provider_->Start(host_);  // the code page is 1251 now
  }
  provider_->ClearCache();
  ASSERT_EQ(Sign(), 0);
  EXPECT_EQ(Last("folder"), parent.string() + "/\xCF\xE0\xEF\xEA\xE0/");
}

// The narrow paths handed to sign_Enigma hold 255 bytes: a longer observer folder keeps the
// start but every signing fails as if the sign program were missing; a longer temporary path
// fails as a temporary file error. Neither reaches the signer.
TEST_F(EnigmaProviderTest, PathsThatDoNotFitTheirNarrowBuffers) {
  const fs::path long_folder = home_.path() / std::string(200, 'a') / std::string(100, 'b');
  MakeProvider();
  {
    FakeObserver observer(long_folder);
    provider_->Start(host_);
  }
  EXPECT_EQ(host_.steps(), kCompletedStart);
  prompt_.QueuePasswords({u"secret"});
  EXPECT_EQ(Sign(), kEnigmaNoSignProgram);

  {
    FakeObserver observer(ObserverFolder());
    provider_->Start(host_);
  }
  const fs::path long_temp = home_.path() / std::string(250, 't');
  fs::create_directories(long_temp);
  fs::permissions(long_temp, fs::perms::owner_all);
  ::setenv("XDG_RUNTIME_DIR", long_temp.c_str(), 1);  // TempHome restores it
  ASSERT_TRUE(platform::UserTempFolder().has_value()) << "the folder itself is usable";
  EXPECT_EQ(Sign(), kEnigmaTempFileError);
  EXPECT_TRUE(SignCalls().empty());
  EXPECT_EQ(prompt_.DialogCount(), 0);
}

TEST_F(EnigmaProviderTest, DestroyingWithAPendingKeeperReturnsPromptly) {
  StartWithObserver(std::chrono::minutes(1));
  prompt_.QueuePasswords({u"secret"});
  ASSERT_EQ(Sign(), 0);
  const auto before = std::chrono::steady_clock::now();
  provider_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, milliseconds(500));
}

}  // namespace
}  // namespace vemo::test
