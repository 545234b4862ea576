#include "platform/dynlib.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>

namespace {

bool Mapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find(path) != std::string::npos) return true;
  }
  return false;
}

TEST(DynamicLibraryTest, MissingFileFailsWithTheLoaderText) {
  platform::DynamicLibrary lib;
  EXPECT_FALSE(lib.Open("/nonexistent/libnothing.so"));
  EXPECT_FALSE(lib.IsOpen());
  EXPECT_NE(lib.LastError().find("libnothing.so"), std::string::npos) << lib.LastError();
  EXPECT_EQ(lib.Symbol("anything"), nullptr);
}

TEST(DynamicLibraryTest, FindsSymbolsAndUnmapsWhenClosed) {
  platform::DynamicLibrary lib;
  ASSERT_TRUE(lib.Open(TEST_LIBRARY)) << lib.LastError();
  EXPECT_TRUE(lib.LastError().empty());
  EXPECT_NE(lib.Symbol("SendSecureMailDef"), nullptr);
  EXPECT_EQ(lib.Symbol("SendSecureMailDef3"), nullptr);
  EXPECT_TRUE(Mapped(TEST_LIBRARY));
  lib.Close();
  EXPECT_FALSE(lib.IsOpen());
  EXPECT_FALSE(Mapped(TEST_LIBRARY));
  lib.Close();
}

TEST(DynamicLibraryTest, OwnershipMovesAndTheLastOwnerReleases) {
  {
    platform::DynamicLibrary first;
    ASSERT_TRUE(first.Open(TEST_LIBRARY));
    platform::DynamicLibrary second(std::move(first));
    EXPECT_FALSE(first.IsOpen());
    EXPECT_TRUE(second.IsOpen());
    platform::DynamicLibrary third;
    third = std::move(second);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_NE(third.Symbol("SendSecureMailDef"), nullptr);
    EXPECT_TRUE(Mapped(TEST_LIBRARY));
  }
  EXPECT_FALSE(Mapped(TEST_LIBRARY));
}

TEST(DynamicLibraryTest, BareNamesGoThroughTheSystemSearch) {
  platform::DynamicLibrary lib;
  ASSERT_TRUE(lib.Open("libm.so.6")) << lib.LastError();
  EXPECT_NE(lib.Symbol("cos"), nullptr);
  // Nothing of that name beside the test program: the system's search finds it.
  ASSERT_TRUE(lib.OpenBesideProgram("libm.so.6")) << lib.LastError();
  EXPECT_NE(lib.Symbol("cos"), nullptr);
  EXPECT_FALSE(lib.OpenBesideProgram("libvigilo-no-such-library.so"));
  EXPECT_FALSE(lib.LastError().empty());
}

}  // namespace
