// Builds the shared test databases once per test run, and removes them.
//   fbfixture setup <file>    builds them; <file> receives their folder
//   fbfixture cleanup <file>  removes the folder named in <file>, and <file>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/service/fbtest.h"

namespace {

void RemoveNamed(const std::string& pointer) {
  std::ifstream file(pointer);
  std::string folder;
  if (std::getline(file, folder) && !folder.empty()) {
    fbtest::RemoveFixture(fbtest::FixtureIn(folder));
  }
  std::filesystem::remove(pointer);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s setup|cleanup <file>\n", argv[0]);
    return 2;
  }
  const std::string action = argv[1];
  const std::string pointer = argv[2];
  try {
    if (action == "setup") {
      RemoveNamed(pointer);  // left over from a run that did not clean up
      fbtest::DatabaseFolder folder;
      fbtest::BuildFixture(fbtest::FixtureIn(folder.Path()));
      std::ofstream(pointer) << folder.Path() << "\n";
      folder.Release();
      return 0;
    }
    if (action == "cleanup") {
      RemoveNamed(pointer);
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", action.c_str(), e.what());
    return 1;
  }
  std::fprintf(stderr, "unknown action %s\n", action.c_str());
  return 2;
}
