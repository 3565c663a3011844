// Text helpers used across the system.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace corvane {

// printf-style formatting into a string, never cut for length. The result
// ends at the first NUL the formatting produced. Never throws.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatStringV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Replaces every occurrence of from, left to right; inserted text is never
// searched again. An empty from, or from == to, leaves the text unchanged.
std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to);

// ASCII case conversion (bytes >= 0x80 are left alone).
void ToLower(std::string& text);
std::string ToUpper(const std::string& text);

// Byte-by-byte widening (not a UTF-8 decode).
std::wstring WidenString(const std::string& text);

// UTF-8 to UTF-16 up to the first zero byte. Code points above 0x10FFFF or in
// the surrogate range, and stray continuation bytes, are dropped; overlong
// forms are accepted as they decode.
std::u16string Utf8ToUtf16(const std::string& text);

// Peer-chosen text for a log line: every control character (below 0x20, and
// 0x7F) becomes '?', so a line feed or tab cannot forge lines or fields.
std::string ForLog(const std::string& text);

// Dotted form of a host-order IPv4 address ("192.168.0.1").
std::string FormatIPv4(uint32_t address);

}  // namespace corvane
