// Runs with LD_LIBRARY_PATH on the fake AvCryptMail that lacks AvCmInitEx.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "platform/outside_modules.h"

namespace vemo::platform {
namespace {

TEST(AvCryptMailLoad, NamesTheFirstMissingExport) {
  std::string error, missing;
  EXPECT_EQ(AvCryptMail::Load(&error, &missing), nullptr);
  EXPECT_EQ(missing, "AvCmInitEx");
  EXPECT_NE(error.find("AvCmInitEx"), std::string::npos) << error;
  // The module has been closed again.
  EXPECT_EQ(::dlopen("libAvCryptMail.so", RTLD_NOW | RTLD_NOLOAD), nullptr);
}

}  // namespace
}  // namespace vemo::platform
