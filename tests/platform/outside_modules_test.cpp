// The module loader with the scripted fakes found through LD_LIBRARY_PATH.

#include "platform/outside_modules.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

#include "tests/fakes/fake_modules.h"
#include "tests/fakes/scoped_env.h"
#include "tests/fakes/test_support.h"

namespace vemo::platform {
namespace {

using test::FakeModules;
using test::FakeModulesFolder;
using test::TempHome;

std::filesystem::path FileOf(void* address) {
  Dl_info info{};
  if (!address || ::dladdr(address, &info) == 0 || !info.dli_fname) return {};
  return std::filesystem::canonical(info.dli_fname);
}

class OutsideModulesTest : public ::testing::Test {
 protected:
  TempHome home_;
  FakeModules fakes_{home_.path() / "fake"};
};

TEST_F(OutsideModulesTest, FindsModulesThroughTheLoaderSearchOrder) {
  for (const char* name : {kAvCryptMailModule, kFcpModule}) {
    std::string error;
    auto module = Module::LoadOutside(name, &error);
    ASSERT_TRUE(module) << error;
    EXPECT_EQ(module->file(), std::string("lib") + name + ".so");
    const char* symbol = name == kFcpModule ? "sign_Avest" : "AvCmLogin";
    EXPECT_EQ(
        FileOf(module->Symbol(symbol)),
        std::filesystem::canonical(FakeModulesFolder() / ("lib" + std::string(name) + ".so")));
    EXPECT_EQ(module->Symbol("NoSuchExport"), nullptr);
  }
}

TEST_F(OutsideModulesTest, ReportsBothFailuresWhenNoModuleOpens) {
  std::string error;
  {
    test::ScopedEnv module_dir("VEMO_MODULE_DIR", (home_.path() / "empty").string());
    EXPECT_EQ(Module::LoadOutside("NoSuchModule", &error), nullptr);
  }
  EXPECT_NE(error.find("libNoSuchModule.so"), std::string::npos) << error;
  EXPECT_NE(error.find(kBundledModuleFile), std::string::npos) << error;
}

TEST_F(OutsideModulesTest, AvCryptMailCallsReachTheModule) {
  fakes_.Set("AvCmInit.1", "0xE82A0130");
  fakes_.Set("AvCmLogin.handle", "77");
  std::string error, missing;
  auto library = AvCryptMail::Load(&error, &missing);
  ASSERT_TRUE(library) << error;
  EXPECT_TRUE(missing.empty());
  EXPECT_EQ(static_cast<uint32_t>(library->Init(1)), 0xE82A0130u);
  AvCmHandle handle = 0;
  EXPECT_EQ(library->Login(&handle, 9), 0);
  EXPECT_EQ(handle, 77u);
  EXPECT_EQ(library->Logout(handle, 0), 0);
  EXPECT_EQ(fakes_.Calls(),
            (std::vector<std::string>{"AvCmInit mode=1", "AvCmLogin flags=9 -> 0 handle=77",
                                      "AvCmLogout handle=77 flags=0 -> 0"}));
}

TEST_F(OutsideModulesTest, FcpIsOpenedOnceForAllThreads) {
  std::vector<const Fcp*> seen(4);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = Fcp::Get(nullptr); });
  for (auto& thread : threads) thread.join();
  ASSERT_NE(seen[0], nullptr);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), seen[0]), 4);
}

// The module's report of the signature's length is believed only inside the buffer.
TEST_F(OutsideModulesTest, SignAvestChecksTheReportedLength) {
  struct Case {
    const char* result;
    const char* length;
    int32_t capacity;
    int32_t expected_result;
    int32_t expected_length;
  };
  const Case cases[] = {
      {"0", "64", 8192, 0, 64},
      {"0", "8192", 8192, 0, 8192},
      {"0", "8193", 8192, kSignAvestBadLength, 0},
      {"0", "-1", 8192, kSignAvestBadLength, 0},
      {"0", "-2147483648", 8192, kSignAvestBadLength, 0},
      {"0", "16", 8, kSignAvestBadLength, 0},
      {"0xE82A0113", "64", 8192, static_cast<int32_t>(0xE82A0113u), 0},
  };
  std::string error, missing;
  auto library = AvCryptMail::Load(&error, &missing);
  ASSERT_TRUE(library) << error;
  const Fcp* fcp = Fcp::Get(&error);
  ASSERT_NE(fcp, nullptr) << error;
  const std::string document(1000, 'd');
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.length) + " in " + std::to_string(c.capacity));
    fakes_.Set("sign_Avest", c.result);
    fakes_.Set("sign_Avest.length", c.length);
    fakes_.ClearCalls();
    std::vector<uint8_t> buffer(8192 + 16, 0xEE);
    int32_t length = -7;
    EXPECT_EQ(
        fcp->SignAvest(library->SignAddress(), 5, reinterpret_cast<const uint8_t*>(document.data()),
                       static_cast<uint32_t>(document.size()), buffer.data(), c.capacity, &length),
        c.expected_result);
    EXPECT_EQ(length, c.expected_length);
    EXPECT_EQ(fakes_.Calls("sign_Avest"),
              std::vector<std::string>{
                  "sign_Avest handle=5 length=1000 capacity=" + std::to_string(c.capacity) +
                  " flags=2100100 sign_ok=1 -> " +
                  std::to_string(static_cast<int32_t>(std::strtoll(c.result, nullptr, 0)))});
    for (size_t i = 0; i < static_cast<size_t>(std::max(length, 0)); ++i) {
      ASSERT_EQ(buffer[i], static_cast<uint8_t>(i));
    }
    EXPECT_EQ(buffer[static_cast<size_t>(c.capacity)], 0xEE);
  }
}

// The scripted signer as the Enigma provider's tests rely on it, reached through Fcp.
TEST_F(OutsideModulesTest, SignEnigmaFollowsItsScript) {
  struct Case {
    std::map<std::string, std::string> script;
    const char* password;
    int32_t expected;
    size_t size_after;
  };
  const Case cases[] = {
      {{}, "", 0, 1512},
      {{{"sign_Enigma.password", "secret"}}, "secret", 0, 1512},
      {{{"sign_Enigma.password", "secret"}}, "wrong", 38, 1000},
      {{{"sign_Enigma.password", "*"}, {"sign_Enigma.append", "10"}}, "any", 0, 1010},
      {{{"sign_Enigma", "40"}}, "", 40, 1000},
      {{{"sign_Enigma.truncate", "300"}}, "", 0, 300},
  };
  const Fcp* fcp = Fcp::Get(nullptr);
  ASSERT_NE(fcp, nullptr);
  const std::filesystem::path file = home_.path() / "sign.tmp";
  const std::string document(1000, 'd');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    FakeModules fakes(home_.path() / "fake");
    for (const auto& [key, value] : c.script) fakes.Set(key, value);
    test::WriteFileBytes(file, document);
    EXPECT_EQ(fcp->SignEnigma("/obs/", file.c_str(), c.password), c.expected);
    const std::string after = test::ReadFileBytes(file);
    EXPECT_EQ(after.size(), c.size_after);
    EXPECT_EQ(after.substr(0, 300), document.substr(0, 300));
    if (after.size() > document.size()) {
      EXPECT_EQ(after[1001], '\x01');
    }
    EXPECT_EQ(fakes.Calls(),
              std::vector<std::string>{"sign_Enigma folder=/obs/ temp=" + file.string() +
                                       " password=" + c.password + " size=1000 -> " +
                                       std::to_string(c.expected)});
  }
}

}  // namespace
}  // namespace vemo::platform
