// The report lists when memory runs out while an alarm is added: the error
// reaches the caller, and the report stays whole for the rest of the run.
// This program replaces the global allocation functions, so that one chosen
// allocation fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "service/alr_alarminfo.h"

namespace {

// Allocations left before one fails; negative: none fails. One thread only.
long gAllocationsLeft = -1;

void* Allocate(std::size_t size) {
  if (gAllocationsLeft >= 0 && gAllocationsLeft-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

TChainParams Chain(const std::string& folder) {
  TChainParams chain;
  chain.FolderName = folder;
  chain.ConnectionString = "srv:/db/" + folder + ".fdb";
  return chain;
}

// Every key is found where it stands, and sorting keeps every entry.
void ExpectWhole(TReportList& list, const std::string& what) {
  const int32_t count = list.Count();
  for (int32_t i = 0; i < count; ++i) {
    EXPECT_EQ(list.IndexOf(list.Keys(i)), i) << what;
  }
  list.Sort();
  ASSERT_EQ(list.Count(), count) << what;
  for (int32_t i = 1; i < count; ++i) {
    EXPECT_LT(list.Keys(i - 1), list.Keys(i)) << what;  // ASCII keys of one case
  }
}

TEST(AlarmReportWithoutMemory, EveryFailingAllocationLeavesTheReportWhole) {
  // Four chains of four shops: the next chain and the next shop each make
  // their list grow.
  const std::vector<std::string> folders = {"D", "B", "C", "A"};
  const std::vector<std::string> shops = {"s4", "s2", "s3", "s1"};
  bool added = false;
  for (long failing = 0; !added; ++failing) {
    const std::string what = "allocation " + std::to_string(failing);
    TAlarmReport report;
    for (const std::string& folder : folders) {
      for (const std::string& shop : shops) report.AddAlarm(Chain(folder), shop, "old");
    }
    gAllocationsLeft = failing;
    try {
      report.AddAlarm(Chain("E"), "s9", "new");
      report.AddAlarm(Chain("A"), "s5", "new");
      added = true;
    } catch (const std::bad_alloc&) {
    }
    gAllocationsLeft = -1;

    ExpectWhole(report, what);
    int32_t oldAlarms = 0;
    for (int32_t c = 0; c < report.Count(); ++c) {
      ExpectWhole(report.Chains(c), what + ", chain " + report.Keys(c));
      for (int32_t s = 0; s < report.Chains(c).Count(); ++s) {
        const TShopAlarms& shop = report.Chains(c).Shops(s);
        for (int32_t t = 0; t < shop.Count(); ++t) oldAlarms += shop.Keys(t) == "old";
      }
    }
    EXPECT_EQ(oldAlarms, 16) << what;
    std::string html;
    report.BuildHtml(html);
    EXPECT_NE(html.find("<h2>A</h2>"), std::string::npos) << what;
    if (added) {
      EXPECT_EQ(report.Count(), 5);
      EXPECT_EQ(report.Chains(0).Count(), 5);
    }
    ASSERT_LT(failing, 1000) << "the alarms are never added";
  }
}

}  // namespace
