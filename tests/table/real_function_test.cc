// The real-function slot: one lookup, a missing function stays missing.
#include "real_function.h"

#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace velmora_io {
namespace {

struct TestOwner;

TEST(RealFunction, FindsTheNextDefinitionOnce) {
  using Slot = RealFunction<"getpid", pid_t(), TestOwner>;
  EXPECT_FALSE(Slot::RESOLVED.load());
  auto* real = Slot::get();
  ASSERT_NE(real, nullptr);
  EXPECT_TRUE(Slot::RESOLVED.load());
  EXPECT_EQ(real(), getpid());
  EXPECT_EQ(Slot::get(), real);
}

TEST(RealFunction, MissingFunctionIsLookedUpOnceAndStaysMissing) {
  using Slot = RealFunction<"velmora_no_such_function", int(int), TestOwner>;
  EXPECT_EQ(Slot::get(), nullptr);
  EXPECT_TRUE(Slot::RESOLVED.load());
  EXPECT_EQ(Slot::ADDR.load(), nullptr);
  EXPECT_EQ(Slot::get(), nullptr);
}

}  // namespace
}  // namespace velmora_io
