// Where the control program keeps its own files. It runs as an ordinary
// desktop user, for whom the program's folder is read-only, so
// "vigilo_cfg.ini" and the local copy "vigilo_local.ini" live in the user's
// configuration folder, readable by that user alone.
#pragma once

#include <functional>
#include <string>

// The value of an environment variable; empty when unset.
using TEnvironmentLookup = std::function<std::string(const std::string& name)>;

// The mode of the folder: the local copy in it holds the service's settings
// with the mail server's password.
constexpr unsigned kConfigFolderMode = 0700;

// $XDG_CONFIG_HOME/vigilo/ when XDG_CONFIG_HOME is an absolute path, else
// $HOME/.config/vigilo/ (with the trailing "/"). Throws Exception when
// neither variable gives a folder.
std::string ControlConfigFolder(const TEnvironmentLookup& env);
// The same from this process's environment.
std::string ControlConfigFolder();

// The log of the control program in `configFolder`: the lines of settings
// files it could not read or write go there, beside its other files, and not
// into whatever folder it was started from (a user's home, from the menu).
std::string ControlLogFile(const std::string& configFolder);

// Creates `folder` and its missing parents with kConfigFolderMode (an
// existing folder is left as its user made it). Throws Exception.
void PrepareConfigFolder(const std::string& folder);

// The private runtime folder that the toolkit and the links to other PCs use
// when the session gives none: `configFolder` + "run".
std::string FallbackRuntimeFolder(const std::string& configFolder);

// Unless $XDG_RUNTIME_DIR names a folder that Qt takes as this user's runtime
// folder (an absolute path to a folder, not a link, owned by this process's
// effective user, mode 0700), makes FallbackRuntimeFolder (kConfigFolderMode)
// and sets XDG_RUNTIME_DIR to it for this process. Qt makes "runtime-<user>"
// in the temporary folder, which is the program's folder, in place of any
// other. Throws Exception.
void PrepareRuntimeFolder(const std::string& configFolder);
