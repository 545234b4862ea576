// What the Firebird benchmarks share: the large chain database, isql-fb as
// the yardstick, and the timing helpers.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace fbbench {

// The size of a chain database: shops, and days of VISITORS per shop.
constexpr int kShops = 2000;
constexpr int kDays = 365;

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point start);
// The middle value (the upper one of an even count); `values` is not empty.
double Median(std::vector<double> values);

// Creates a chain database of kShops shops x kDays days of VISITORS (from 1
// March 2023, so every shop's last day lies weeks before 14 March 2024),
// with the full schema the data module probes. Throws std::runtime_error.
void BuildChainDatabase(const std::string& connectionString);

// Runs isql-fb with the script against the database as SYSDBA, its output
// to /dev/null. Returns the exit status.
int RunIsql(const std::string& connectionString, const std::string& script);

}  // namespace fbbench
