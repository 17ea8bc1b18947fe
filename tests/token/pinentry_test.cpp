// The PIN prompt through the scripted pinentry, which speaks the Assuan protocol as the real
// one does.

#include "softtoken/pinentry.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/fakes/scoped_env.h"
#include "tests/token/token_machine.h"

namespace vemo::token {
namespace {

using test::TokenMachine;

TEST(PinentryTest, AnswersOfThePrompt) {
  TokenMachine machine;
  struct Case {
    const char* answer;
    PinAnswer::Outcome outcome;
    const char* pin;
  };
  const Case cases[] = {
      {"pin 1234", PinAnswer::kEntered, "1234"},
      {"pin 50% off, 100%", PinAnswer::kEntered, "50% off, 100%"},
      {"pin Пароль", PinAnswer::kEntered, "Пароль"},
      {"cancel", PinAnswer::kCancelled, ""},
      {"fail", PinAnswer::kFailed, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    machine.SetAnswers({c.answer});
    const PinAnswer answer =
        AskPin({"Носитель: 100% «банк»\nВведите PIN-код.", "Последняя попытка"});
    EXPECT_EQ(answer.outcome, c.outcome);
    EXPECT_EQ(answer.pin.view(), c.pin);
  }
  // The texts arrive whole, with the protocol's escapes for the percent sign and line breaks.
  ASSERT_EQ(machine.Prompts().size(), std::size(cases));
  EXPECT_EQ(machine.Prompts().front(),
            "Носитель: 100%25 «банк»%0AВведите PIN-код.|Последняя попытка");
}

TEST(PinentryTest, NoPromptWithoutPinentry) {
  TokenMachine machine;
  test::ScopedEnv path("PATH", machine.home().path().string());
  EXPECT_EQ(AskPin({"PIN", ""}).outcome, PinAnswer::kFailed);
}

TEST(PinentryTest, HeldBackPromptsAreCancelled) {
  TokenMachine machine;
  machine.SetAnswers({"pin 1234"});
  HoldBackPinPrompts(true);
  EXPECT_EQ(AskPin({"PIN", ""}).outcome, PinAnswer::kCancelled);
  HoldBackPinPrompts(false);
  EXPECT_TRUE(machine.Prompts().empty());
  EXPECT_EQ(AskPin({"PIN", ""}).outcome, PinAnswer::kEntered);
}

}  // namespace
}  // namespace vemo::token
