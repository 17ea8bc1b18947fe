#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/browser_trust_start.h"
#include "app/certificate_command.h"
#include "platform/server_certificate.h"
#include "tests/fakes/scoped_env.h"
#include "tests/fakes/test_support.h"

namespace vemo::app {
namespace {

using platform::StartTrustAction;
using platform::TrustOutcome;

struct CommandRun {
  std::optional<int> code;
  std::string out;
  std::string err;
};

CommandRun Command(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "Vemo_Server_Crypt");
  std::ostringstream out, err;
  CommandRun run;
  run.code = RunCommandLine(static_cast<int>(arguments.size()), arguments.data(), out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

TEST(CommandLineTest, OnlyTheProgramsOwnOptionsAreHandledBeforeTheStart) {
  struct Case {
    std::vector<const char*> arguments;
    std::optional<int> code;
    bool usage_on_out;
    bool usage_on_err;
  };
  const std::vector<Case> cases = {
      {{}, std::nullopt, false, false},
      // The session restarts the program with Qt's own arguments.
      {{"-session", "10abcdef"}, std::nullopt, false, false},
      {{"-platform", "offscreen"}, std::nullopt, false, false},
      {{"--install"}, std::nullopt, false, false},
      {{"--help"}, 0, true, false},
      {{"-h"}, 0, true, false},
      {{"--help", "--install-certificate"}, 2, false, true},
      {{"-session", "x", "--remove-certificate"}, 2, false, true},
  };
  test::TempHome home;
  for (const auto& c : cases) {
    std::string joined;
    for (const char* argument : c.arguments) joined += std::string(argument) + " ";
    SCOPED_TRACE(joined);
    const CommandRun run = Command(c.arguments);
    EXPECT_EQ(run.code, c.code);
    EXPECT_EQ(run.out.find("--install-certificate") != std::string::npos, c.usage_on_out);
    EXPECT_EQ(run.err.find("Usage:") != std::string::npos, c.usage_on_err);
  }
  EXPECT_FALSE(std::filesystem::exists(home.DataFolder())) << "nothing was made";
}

TEST(CommandLineTest, WithoutCertutilTheCommandsFailAndSayWhy) {
  test::TempHome home;
  test::ScopedEnv no_tools("PATH", "/nonexistent");
  for (const char* option : {"--install-certificate", "--remove-certificate"}) {
    SCOPED_TRACE(option);
    const CommandRun run = Command({option});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("FAILED: certutil cannot be run"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("libnss3-tools"), std::string::npos) << run.err;
  }
}

TrustOutcome Outcome(TrustOutcome::Result result, const char* folder) {
  TrustOutcome outcome;
  outcome.database = {"Firefox", folder, false};
  outcome.result = result;
  return outcome;
}

TEST(TrustWindowLinesTest, SayWhatTheStartDidForTheBrowsers) {
  using R = TrustOutcome::Result;
  struct Case {
    const char* name;
    platform::StartTrust start;
    std::vector<std::string> lines;
  };
  platform::StartTrust nothing;
  platform::StartTrust first{StartTrustAction::kFirstInstall, {}};
  first.report.outcomes = {Outcome(R::kAdded, "/h/a"), Outcome(R::kPresent, "/h/b"),
                           Outcome(R::kFailed, "/h/c")};
  platform::StartTrust renewal{StartTrustAction::kRenewal, {}};
  renewal.report.outcomes = {Outcome(R::kAdded, "/h/a"), Outcome(R::kGone, "/h/d")};
  platform::StartTrust all_failed{StartTrustAction::kRenewal, {}};
  all_failed.report.outcomes = {Outcome(R::kFailed, "/h/a")};
  platform::StartTrust no_tool{StartTrustAction::kFirstInstall, {}};
  no_tool.report.error = "certutil cannot be run";
  const std::vector<Case> cases = {
      {"all as recorded", nothing, {}},
      {"first start",
       first,
       {"Сертификат Vemo_Server_Crypt добавлен в доверенные для браузеров (хранилищ: 2)",
        "Не удалось добавить сертификат Vemo_Server_Crypt в хранилище /h/c"}},
      {"renewal",
       renewal,
       {"Новый сертификат Vemo_Server_Crypt добавлен в доверенные для браузеров вместо прежнего "
        "(хранилищ: 1)"}},
      {"renewal that failed",
       all_failed,
       {"Не удалось добавить сертификат Vemo_Server_Crypt в хранилище /h/a"}},
      {"no certutil",
       no_tool,
       {"Не удалось добавить сертификат Vemo_Server_Crypt в доверенные для браузеров "
        "(подробности в журнале событий)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines;
    for (const auto& line : TrustWindowLines(c.start)) lines.push_back(test::U8(line));
    EXPECT_EQ(lines, c.lines);
  }
}

}  // namespace
}  // namespace vemo::app
