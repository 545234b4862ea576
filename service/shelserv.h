// The alarm service's desktop shortcut: where the desktop is, and the
// shortcut file itself.
//
// Texts are the programs' cp1252 text; paths on disk are UTF-8 and are
// converted here. Both operations raise an Exception carrying the system's
// message at their first failure and log nothing: the caller does.
#pragma once

#include <cstdint>
#include <string>

// Path receives the folder of the desktop all users share, else that of the
// account running the service, without a trailing separator. Owner stands
// for the window that would own a dialog of the shell; there is none here.
// Raises when neither desktop can be located. A located folder whose path
// cp1252 cannot spell leaves Path as it was.
void GetDesktopFolder(uintptr_t Owner, std::string& Path);

// Writes the shortcut file LinkFile, replacing an existing one: it opens
// Target with Arguments in the folder WorkDir, shows the comment Description
// and icon number IconIndex of IconFile. On failure an existing file stays as
// it was and no temporary file remains.
void CreateShortcut(const std::string& LinkFile, const std::string& Description,
                    const std::string& Target, const std::string& Arguments,
                    const std::string& WorkDir, const std::string& IconFile, int32_t IconIndex);
