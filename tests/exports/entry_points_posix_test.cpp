// The library as a host sees it: loaded by path, entry points found by their
// undecorated names, each answering a null handle with its code.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "loquant/loquant.h"

namespace {

class LibraryPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(LOQUANT_TEST_BINARY_DIR "/src/libloquant.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }
  void* find(const char* name) { return dlsym(handle_, name); }
  void* handle_ = nullptr;
};

TEST_F(LibraryPosixTest, ThirtyTwoBitEntryPointsAnswerNullHandleWithMinusOne) {
  for (const char* name :
       {"AnalyzeSingle", "AnalyzeSingleContinuous", "AnalyzeTwo", "PitchTrackerDetector"}) {
    auto entry = reinterpret_cast<loquant::EntryPoint32>(find(name));
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_EQ(entry(nullptr), -1) << name;
  }
}

TEST_F(LibraryPosixTest, EightBitEntryPointsAnswerNullHandleWith255) {
  for (const char* name : {"Runtime", "Test"}) {
    auto entry = reinterpret_cast<loquant::EntryPoint8>(find(name));
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_EQ(entry(nullptr), 255) << name;
  }
}

TEST_F(LibraryPosixTest, InternalSymbolsAreNotExported) {
  // Only the entry points are the library's interface; runtime internals stay
  // hidden so that two libraries in one process never bind to each other.
  EXPECT_EQ(find("_ZN6vornix11currentTimeEv"), nullptr);
}

}  // namespace
