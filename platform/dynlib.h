// Libraries loaded at run time, in place of LoadLibrary, GetProcAddress and
// FreeLibrary.
//
// A DynamicLibrary holds one handle from dlopen(RTLD_NOW | RTLD_LOCAL) and
// releases it with dlclose when it is closed or destroyed, so a library that
// is loaded for one call never stays mapped after it. Nothing here throws.
#pragma once

#include <string>

namespace platform {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads `path`, closing what was open before. A path with a "/" names the
  // file; a bare name goes through the system's search (LD_LIBRARY_PATH, the
  // cache, the system folders). False, with LastError() set, when it fails.
  bool Open(const std::string& path);

  // Loads the library `name` from the folder of the running executable when
  // a file of that name is there and loads, else by the system's search.
  bool OpenBesideProgram(const std::string& name);

  bool IsOpen() const { return handle_ != nullptr; }

  // The address of the exported symbol `name`; nullptr when the library is
  // not open or does not export it.
  void* Symbol(const std::string& name) const;

  // Releases the handle; does nothing when none is held.
  void Close();

  // The loader's text for the last failed Open; empty after a success.
  const std::string& LastError() const { return lastError_; }

 private:
  void* handle_ = nullptr;
  std::string lastError_;
};

}  // namespace platform
