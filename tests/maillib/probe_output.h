// Reading what the mail tests' probe and test libraries print: lines of
// blank-separated key=value fields, texts in hex ("-" for an empty one).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace mailtest {

using Fields = std::map<std::string, std::string>;

// The fields of every line of `text`.
std::vector<Fields> ParseFieldLines(const std::string& text);

// The bytes a hex text stands for; "-" is the empty text.
std::string Unhex(const std::string& hex);

// True when a mapping of this process names a file whose path holds `path`.
bool IsMapped(const std::string& path);

}  // namespace mailtest
