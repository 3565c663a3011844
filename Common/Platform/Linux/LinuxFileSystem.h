// File-system calls behind Directory.h. Paths here are already in "/" form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FileIo.h"

namespace corvane::platform {

// The folder the data folder goes under: $CORVANE_DATA_ROOT when set to an
// absolute path other than "/", else the first writable of /var/lib and
// $TMPDIR, else /tmp. Never "/" and never ends in "/".
std::string CommonDataFolder();

// The effective user's login name, or its uid as text.
std::string CurrentUserName();

// mkdir with mode 01777 applied past the umask. A folder that exists already
// is left exactly as it is. False only when nothing could be created.
bool MakeFolderForEveryone(const std::string& path);

bool IsFolder(const std::string& path);
bool Exists(const std::string& path);

// Removes the tree at path (already refused for "" and the root). The last
// component must be a real folder, not a symbolic link; links inside the tree
// are removed as links, never followed. False when the path is missing or
// anything could not be removed.
bool RemoveTree(const std::string& path);

bool RemoveOneFile(const std::string& path);

// The entries of one folder except "." and "..". False when the folder
// cannot be read.
bool ListFolder(const std::string& path, std::vector<FolderEntry>* out);

// Opens base (links followed: it is the system's or the administrator's
// choice), then each of parts below it without following links, creating a
// missing one for everyone (01777) when create is set. A part that is a
// symbolic link, not a folder, or a folder owned by another user than root or
// this process's is refused: -1 with *refusal naming it. Returns the last
// folder's descriptor (the caller closes it), or -1 with *refusal empty when
// a folder could not be made or opened.
int OpenFolderChain(const std::string& base, const std::vector<std::string>& parts, bool create,
                    std::string* refusal);

}  // namespace corvane::platform
