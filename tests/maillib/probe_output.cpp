#include "tests/maillib/probe_output.h"

#include <fstream>
#include <sstream>

namespace mailtest {

std::vector<Fields> ParseFieldLines(const std::string& text) {
  std::vector<Fields> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    Fields fields;
    std::istringstream tokens(line);
    for (std::string token; tokens >> token;) {
      const size_t eq = token.find('=');
      if (eq != std::string::npos) fields[token.substr(0, eq)] = token.substr(eq + 1);
    }
    lines.push_back(fields);
  }
  return lines;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  if (hex == "-") return out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

bool IsMapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find(path) != std::string::npos) return true;
  }
  return false;
}

}  // namespace mailtest
