// The alarm service's settings ("vigilo.ini") and the tracked chains.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// One tracked chain. The first three fields are stored in "vigilo.ini"; the
// others come from the data-acquisition settings when the chains are merged.
struct TChainParams {
  std::string TrackedChain;
  bool ShouldCheck = true;
  // Index 1 (Monday) to 7 (Sunday); index 0 is unused.
  std::array<bool, 8> DaysNoCheck{};
  int32_t DbIndex = -1;
  std::string Username;
  std::string Password;
  std::string ConnectionString;
  std::string FolderName;
};
