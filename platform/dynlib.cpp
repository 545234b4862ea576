#include "platform/dynlib.h"

#include <dlfcn.h>

#include <utility>

#include "platform/file.h"
#include "platform/process.h"

namespace platform {

namespace {

std::string TakeLoaderError() {
  // dlerror() keeps its text per thread until the next call; reading it here
  // also clears it for the next lookup.
  const char* text = ::dlerror();
  return text ? text : "unknown loader error";
}

}  // namespace

DynamicLibrary::~DynamicLibrary() {
  Close();
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), lastError_(std::move(other.lastError_)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, nullptr);
    lastError_ = std::move(other.lastError_);
  }
  return *this;
}

bool DynamicLibrary::Open(const std::string& path) {
  Close();
  // RTLD_NOW: a library with a missing dependency fails here, not in the
  // middle of a call. RTLD_LOCAL: its symbols never resolve anyone else's.
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    lastError_ = TakeLoaderError();
    return false;
  }
  lastError_.clear();
  return true;
}

bool DynamicLibrary::OpenBesideProgram(const std::string& name) {
  Close();
  lastError_.clear();
  const std::string exe = ExecutablePath();
  if (!exe.empty()) {
    const std::string beside = JoinPath(ExtractFileDir(exe), name);
    if (FileExists(beside) && Open(beside)) return true;
  }
  std::string besideError = lastError_;
  if (Open(name)) return true;
  // The copy beside the program says more about what went wrong than the
  // search that found nothing.
  if (!besideError.empty()) lastError_ = besideError;
  return false;
}

void* DynamicLibrary::Symbol(const std::string& name) const {
  if (handle_ == nullptr) return nullptr;
  void* address = ::dlsym(handle_, name.c_str());
  if (address == nullptr) ::dlerror();
  return address;
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) {
    ::dlclose(handle_);
    handle_ = nullptr;
  }
}

}  // namespace platform
