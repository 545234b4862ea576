#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/profile.h"
#include "tests/support/temp_folder.h"

namespace platform {
namespace {

// Readers that open the file while writers replace it see one whole version
// or the other, never a mix or an empty file.
TEST(ProfileFileThreadsTest, ReadersSeeWholeVersionsWhileWritersFlush) {
  testing_support::TempFolder dir;
  std::string path = dir.File("shared.ini");
  const std::string a(1500, 'a');
  const std::string b(1500, 'b');
  {
    ProfileFile ini(path);
    ini.WriteString("S", "Value", a);
    ini.WriteString("S", "Tail", "end");
    ini.Flush();
  }
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < 100; ++i) {
        ProfileFile ini(path);
        ini.WriteString("S", "Value", (i + w) % 2 ? a : b);
        ini.Flush();
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        ProfileFile ini(path);
        std::string value = ini.ReadString("S", "Value", "");
        if ((value != a && value != b) || ini.ReadString("S", "Tail", "") != "end") ++bad;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace platform
