// Configuration values of the local machine, read the way the service reads
// its registry key, but kept in a text file an administrator can edit.
//
// The key "SOFTWARE\<path>" is the file "<root>/<path>.conf" with "/" for
// "\", root being $CORVANE_REGISTRY_ROOT when set and "/etc" otherwise; so
// "SOFTWARE\Corvane\DirectoryService" is /etc/Corvane/DirectoryService.conf.
//
// The file holds "name=value" lines. A value is a DWORD written in decimal or
// as 0x-prefixed hexadecimal; blanks around names and values are ignored, "#"
// starts a comment, CRLF line ends are accepted, and names match without
// regard to ASCII case, as registry value names do. When a name appears more
// than once the last line wins.
#pragma once

#include <cstdint>
#include <string>

namespace corvane::platform {

// The file that stands for keyPath, or "" when keyPath names no key this
// layer can hold (not under SOFTWARE, empty, "." or ".." components, "/" or
// NUL in a component).
std::string RegistryKeyFilePath(const std::string& keyPath);

// Reads the DWORD valueName of keyPath. True and *value set when the key
// exists and holds a valid value; false, with *value untouched, when the key
// (file) or the value is missing, or the value is negative, not a number or
// does not fit 32 bits: the caller's default then stands.
//
// Every call sees the file as it is now; the parsed file is cached and parsed
// again only when the file changes, so calling this once a second is cheap.
// Safe to call from any thread.
bool ReadRegistryDword(const std::string& keyPath, const std::string& valueName, uint32_t* value);

}  // namespace corvane::platform
