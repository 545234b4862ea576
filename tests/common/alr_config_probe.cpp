// Loads the alarm settings the way the programs do and prints the chains, one
// line each: name|DbIndex|ShouldCheck|ConnectionString|FolderName.
// Usage: alr_config_probe <settings file> <log file>
#include <cstdio>

#include "common/alr_config.h"
#include "common/debuglog.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <settings file> <log file>\n", argv[0]);
    return 2;
  }
  SetLogTarget(nullptr, argv[2]);
  TAlrConfig cfg;
  cfg.LoadFromFile(argv[1]);
  for (const TChainParams& chain : cfg.Chains) {
    std::printf("%s|%d|%d|%s|%s\n", chain.TrackedChain.c_str(), chain.DbIndex,
                chain.ShouldCheck ? 1 : 0, chain.ConnectionString.c_str(),
                chain.FolderName.c_str());
  }
  return 0;
}
