// The desktop folders and shortcut files of the Windows shell.
//
// Desktop folders. The desktop all users share is $VIGILO_COMMON_DESKTOP. The
// account's desktop is the first of $XDG_DESKTOP_DIR, the XDG_DESKTOP_DIR line
// of user-dirs.dirs (in $XDG_CONFIG_HOME, else $HOME/.config) and
// $HOME/Desktop that is an absolute path naming an existing folder. Folder
// paths are as on disk (UTF-8), without a trailing "/". The environment is
// read through a lookup, so that tests can give their own.
//
// Shortcut files are shell links in the published binary format of the
// Windows shell ("Shell Link Binary File Format"): the header, the link info
// with the target as local base path, and the description, working folder,
// arguments and icon location as UTF-16 strings (each only when it is not
// empty). Readers on Windows and Debian's lnkinfo open them.
//
// Errors are SystemError exceptions carrying a code of platform/syserror.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/process.h"

namespace platform {

// The value of an environment variable; "" when it is unset.
using EnvironmentLookup = std::function<std::string(const std::string& name)>;

// The desktop all users share; "" when $VIGILO_COMMON_DESKTOP names no folder.
std::string CommonDesktopFolder(const EnvironmentLookup& env = GetEnvironmentVariable);

// The desktop of the account; "" when no candidate names a folder.
std::string AccountDesktopFolder(const EnvironmentLookup& env = GetEnvironmentVariable);

// The common desktop, else the account's. Throws SystemError with
// kErrorPathNotFound and the text "No desktop folder: set
// VIGILO_COMMON_DESKTOP" when there is neither.
std::string DesktopFolder(const EnvironmentLookup& env = GetEnvironmentVariable);

// What a shortcut holds. The texts are the programs' cp1252 text; none may
// hold a zero byte, nor be longer than 65535 UTF-16 units.
struct ShellLink {
  std::string Description;
  std::string Target;  // the file the shortcut opens
  std::string Arguments;
  std::string WorkingDir;
  std::string IconFile;
  int32_t IconIndex = 0;
};

// File attribute bits of the shell link header.
enum : uint32_t {
  kFileAttributeReadOnly = 0x01,
  kFileAttributeDirectory = 0x10,
  kFileAttributeNormal = 0x80,
};

// What the header records of the target as it was when the link was made.
// Times count 100 ns since 1 January 1601 UTC; 0 is "unknown".
struct ShellLinkTargetFacts {
  uint32_t Attributes = 0;
  uint64_t CreationTime = 0;
  uint64_t AccessTime = 0;
  uint64_t WriteTime = 0;
  uint32_t Size = 0;          // the low 32 bits of the size, as the format keeps it
  uint32_t VolumeSerial = 0;  // identifies the file system the target lies on
};

// The facts of the file `path` (on disk); all zero when it cannot be read.
ShellLinkTargetFacts ReadShellLinkTargetFacts(const std::string& path);

// The bytes of the link file. Throws SystemError(kErrorInvalidParameter) for
// a text that the format cannot hold.
std::string EncodeShellLink(const ShellLink& link, const ShellLinkTargetFacts& facts);

// Writes the link file `linkFile` (a path on disk), with the facts of its
// target, replacing an existing file. The bytes go to a temporary file in
// the same folder that is renamed into place, so a failure leaves the old
// file as it was and no temporary file behind. Throws SystemError with the
// system's code on failure; a folder that platform/file's folder rule refuses
// is named in its text.
void WriteShellLink(const std::string& linkFile, const ShellLink& link);

}  // namespace platform
