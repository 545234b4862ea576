// What the pipe programs share: a private runtime folder and one exchange.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pipebench {

// Creates a temporary folder, points VIGILO_RUNTIME_DIR and the log at it,
// and removes it again when the program ends.
class Workspace {
 public:
  Workspace();
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A request of `command` with `payload`.
std::vector<uint8_t> Request(const char* command, const std::string& payload = "");

// One exchange on "\\.\pipe\" + pipeName; returns the error code.
uint32_t Exchange(const std::string& pipeName, const std::vector<uint8_t>& request,
                  std::vector<uint8_t>& answer);

// Retries until the server answers, for at most about ten seconds.
bool WaitUntilServing(const std::string& pipeName);

}  // namespace pipebench
