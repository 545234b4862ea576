// Prints the collation locale of this process and the sign of the comparison
// of its two arguments, for the tests that need a process of their own.
#include <cstdio>

#include "platform/text.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::printf("%s\n%d\n", platform::CollationLocaleName().c_str(),
              platform::CompareTextLocale(argv[1], argv[2]));
  return 0;
}
