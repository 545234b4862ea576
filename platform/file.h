// Files and folders.
//
// Paths are byte strings passed to the system unchanged. Operations that can
// fail report a code of platform/syserror; none of them throws unless its
// comment says so.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// True when `path` names an existing file that is not a folder.
bool FileExists(const std::string& path);

// True when `path` names an existing folder.
bool DirectoryExists(const std::string& path);

// The size in bytes of the file `path`; nullopt when it is missing or a folder.
std::optional<int64_t> FileSize(const std::string& path);

// Appends `data` to the file `path`, creating it when it does not exist, and
// closes it again. Returns 0 or the error code.
uint32_t AppendToFile(const std::string& path, const std::string& data);

// Deletes the file `path`. Returns 0 or the error code.
uint32_t DeleteFile(const std::string& path);

// Reads the whole file `path` into `data`, at most `maxSize` bytes: a larger
// file gives kErrorMoreData and leaves `data` empty. Returns 0 or the error code.
uint32_t ReadWholeFile(const std::string& path, std::string& data, size_t maxSize = SIZE_MAX);

// Replaces the file `path` by `data` atomically: the bytes go to a temporary
// file in the same folder, are flushed to disk, and the temporary file is
// renamed over `path`. On any failure the old file stays as it was and the
// temporary file is removed. Returns 0 or the error code.
// - The temporary file is readable by its owner only until it is complete; it
//   then gets the mode of the file it replaces (a new file: `newFileMode`
//   less the umask) and, when this process may give it, that file's owner and
//   group.
// - A symbolic link is followed: its target is replaced and the link stays.
// - Temporary files of `path` that replacements killed on the way left behind
//   are removed first; those of a replacement still running are not.
uint32_t WriteFileAtomic(const std::string& path, const std::string& data,
                         unsigned newFileMode = 0644);

// True when `path` names an existing file that must not be replaced: this
// process may not write it, or it has no write permission bit at all, which
// keeps it read-only for root too.
bool FileIsReadOnly(const std::string& path);

// Creates the folder `path` and its missing parents. Returns 0 or the error code.
uint32_t CreateDirectories(const std::string& path, unsigned mode = 0755);

// The folder part of `path` without the trailing "/" ("/a/b" gives "/a",
// "/x" gives "/", "x" gives "").
std::string ExtractFileDir(const std::string& path);

// `dir` and `name` joined by exactly one "/".
std::string JoinPath(const std::string& dir, const std::string& name);

}  // namespace platform
