// loquant.dll as a Windows host sees it: loaded with LoadLibraryA, entry
// points found by their undecorated names with GetProcAddress and called with
// the C calling convention.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "loquant/loquant.h"

namespace {

class LibraryWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = ::LoadLibraryA(LOQUANT_TEST_BINARY_DIR "/src/loquant.dll");
    ASSERT_NE(module_, nullptr) << "error " << ::GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) ::FreeLibrary(module_);
  }
  template <typename Function>
  Function find(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(::GetProcAddress(module_, name)));
  }
  HMODULE module_ = nullptr;
};

TEST_F(LibraryWin32Test, ThirtyTwoBitEntryPointsAnswerNullHandleWithMinusOne) {
  for (const char* name :
       {"AnalyzeSingle", "AnalyzeSingleContinuous", "AnalyzeTwo", "PitchTrackerDetector"}) {
    auto entry = find<loquant::EntryPoint32>(name);
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_EQ(entry(nullptr), -1) << name;
  }
}

TEST_F(LibraryWin32Test, EightBitEntryPointsAnswerNullHandleWith255) {
  for (const char* name : {"Runtime", "Test"}) {
    auto entry = find<loquant::EntryPoint8>(name);
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_EQ(entry(nullptr), 255) << name;
  }
}

TEST_F(LibraryWin32Test, OnlyTheUndecoratedEntryPointsAreExported) {
  // No stdcall decoration, no leading underscore, no C++ names.
  EXPECT_EQ(find<void (*)()>("_Runtime"), nullptr);
  EXPECT_EQ(find<void (*)()>("Runtime@4"), nullptr);
  EXPECT_EQ(find<void (*)()>("_ZN6vornix11currentTimeEv"), nullptr);
  EXPECT_NE(find<void (*)()>("Test"), nullptr);
}

}  // namespace
