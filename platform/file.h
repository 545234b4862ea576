// Files and folders.
//
// Paths are byte strings passed to the system unchanged. Operations that can
// fail report a code of platform/syserror; none of them throws unless its
// comment says so.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// What a file that does not exist yet is created with: `mode` less the
// process's umask and, when `group` is set, that group. A group this process
// may not give (it is not root and not a member) is left out, and so are the
// group's permission bits: the file is then its owner's alone.
struct NewFileMode {
  mode_t mode = 0644;
  std::optional<gid_t> group;
};

// Reports, the shortcut, the log: readable by everyone.
inline const NewFileMode kPublicFile{0644, std::nullopt};
// A user's own copy of settings that hold a password.
inline const NewFileMode kPrivateFile{0600, std::nullopt};

// The trusted-link rule, kept by every writer of this file. A symbolic link
// at a name the programs write is followed only when nobody but root and this
// process's effective user could have placed it or redirected it: the link,
// every further link it leads to, and every folder from "/" down to each of
// them and to the final target are owned by root or by that user, and none of
// these folders is writable by group or others (sshd's StrictModes; a sticky
// world-writable folder such as /tmp does not pass). Links in the folders
// leading to the name are judged by the folder rule below.
//
// Sets `target` to the name a write of `path` must replace: the final target
// of a trusted link (it need not exist yet), else `path` itself, so that an
// untrusted link is replaced by the new file, never written through. Returns
// 0, or the error of a trusted chain that cannot be followed (a loop of more
// than 40 links, a link that cannot be read, a folder of it that is missing).
uint32_t ResolveTrustedPath(const std::string& path, std::string& target);

// True when `path` is a symbolic link that the rule above follows.
bool IsTrustedLink(const std::string& path);

// The folder rule, kept by every writer of this file (and DeleteFile): the
// folder that a name is written in is resolved one component at a time from
// "/", every link read by the layer itself, and the name is written relative
// to the folder that walk ended on, so that a folder or link swapped after the
// walk changes nothing. The users who could have redirected the walk are
// those, other than root and this process's effective user, whose folders it
// entered or whose links it followed. The folder is written in only when it
// belongs to them: to root or this process's user when no one else was
// passed, else to the one other user passed (his desktop, also through his
// own link to a folder of his on another disk). Refused, with
// kErrorAccessDenied: a folder of root's or of another user reached through a
// user's folder or link, a walk that passed two other users, and a walk that
// looked a name up in a folder that group or others may write without the
// sticky bit (anyone could have swapped that name).

// The rule for one file or folder whose status is `st`: owned by root or by
// this process's effective user, and writable by neither group nor others.
// Empty when it passes, else why not ("is owned by uid N", "is writable by
// group or others").
std::string Distrust(const struct stat& st);

// True when `path` names an existing file that is not a folder.
bool FileExists(const std::string& path);

// True when `path` names an existing folder.
bool DirectoryExists(const std::string& path);

// True when `path` names a folder itself (not a link to one) that this
// process's effective user owns and that nobody else may read, write or
// enter: permission bits 0700, as the XDG base-directory rules want of a
// user's runtime folder.
bool IsPrivateFolder(const std::string& path);

// The size in bytes of the file `path`; nullopt when it is missing or a folder.
std::optional<int64_t> FileSize(const std::string& path);

// Appends `data` to the file `path`, creating it with `newMode` when it does
// not exist, and closes it again. The folder rule above decides whether its
// folder is written in; a link at the name is followed only when the
// trusted-link rule above trusts it; a name that holds anything else but a
// regular file of one link (an untrusted link, a FIFO, a device, a hard link
// to another file) is removed and a new file made in its place, so that
// nothing it pointed to is ever opened for writing. So is, in a folder that
// group or others may write, a file of any owner but root, this process's
// user and the folder's owner, which any of them could have planted there.
// Returns 0 or the error code.
uint32_t AppendToFile(const std::string& path, const std::string& data,
                      const NewFileMode& newMode = kPublicFile);

// Deletes the file `path` (a link itself, not its target), in a folder the
// folder rule above allows. Returns 0 or the error code.
uint32_t DeleteFile(const std::string& path);

// Reads the whole file `path` into `data`, at most `maxSize` bytes: a larger
// file gives kErrorMoreData and leaves `data` empty. Returns 0 or the error code.
uint32_t ReadWholeFile(const std::string& path, std::string& data, size_t maxSize = SIZE_MAX);

// Replaces the file `path` by `data` atomically: the bytes go to a temporary
// file in the same folder, are flushed to disk, and the temporary file is
// renamed over `path`. On any failure the old file stays as it was and the
// temporary file is removed. Returns 0 or the error code; `why`, when given,
// receives the failure's text: for a folder the folder rule refuses, one
// that names the folder and why, else the system error text (empty on
// success).
// - The folder rule above decides whether the folder is written in.
// - A symbolic link is followed only when the trusted-link rule above trusts
//   it (its target is then replaced and the link stays); an untrusted one is
//   replaced by the new file. Nothing at the final name is ever opened: a
//   FIFO, a device or a hard link there is replaced by the rename.
// - The temporary file is created in the folder's descriptor, with O_EXCL and
//   O_NOFOLLOW, so that no name planted beforehand can redirect it.
// - It is readable by its owner only until it is complete; it then gets the
//   mode of the regular file it replaces and, when this process may give
//   them, that file's owner and group. Anything else at the name (nothing, a
//   link not followed, a hard link, a FIFO, a file another user may have
//   planted in a shared folder, as AppendToFile says) gives a new file
//   `newMode`.
// - Temporary files of `path` that replacements killed on the way left behind
//   are removed first; those of a replacement still running are not.
uint32_t WriteFileAtomic(const std::string& path, const std::string& data,
                         const NewFileMode& newMode = kPublicFile, std::string* why = nullptr);

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
