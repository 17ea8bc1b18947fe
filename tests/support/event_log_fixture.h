#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "support/event_log.h"
#include "support/text_conversions.h"
#include "tests/fakes/test_support.h"

namespace vemo::test {

// A temporary HOME with the event log set up in its data folder, under the default code page.
class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProcessCodePage(NarrowCodePage::kDefault);
    InitEventLog(home_.DataFolder());
  }
  void TearDown() override {
    ResetEventLogForTesting();
    SetProcessCodePage(NarrowCodePage::kDefault);
  }

  std::filesystem::path log() const { return home_.DataFolder() / "Vemo_Server_Crypt_Z.log"; }
  std::filesystem::path rotated() const { return home_.DataFolder() / "Vemo_Server_Crypt_Z.log1"; }

  TempHome home_;
};

}  // namespace vemo::test
