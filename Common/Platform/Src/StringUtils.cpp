#include "StringUtils.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace corvane {

std::string FormatStringV(const char* format, va_list args) {
  std::string result;
  if (format == nullptr) return result;
  try {
    // Most log lines fit on the stack, which saves the measuring pass and
    // one heap allocation.
    char stackBuffer[512];
    va_list first;
    va_copy(first, args);
    int n = vsnprintf(stackBuffer, sizeof stackBuffer, format, first);
    va_end(first);
    if (n <= 0) return result;
    if (static_cast<size_t>(n) < sizeof stackBuffer) {
      // The text ends at the first NUL the formatting produced ("%c" of 0).
      result.assign(stackBuffer, strnlen(stackBuffer, static_cast<size_t>(n)));
      return result;
    }
    result.resize(static_cast<size_t>(n));
    va_list second;
    va_copy(second, args);
    // resize() leaves room for the terminator at data()[n].
    int written = vsnprintf(result.data(), static_cast<size_t>(n) + 1, format, second);
    va_end(second);
    if (written < 0) {
      result.clear();
      return result;
    }
    result.resize(strnlen(result.c_str(), result.size()));
  } catch (...) {
    // Out of memory: keep what was built.
  }
  return result;
}

std::string FormatString(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = FormatStringV(format, args);
  va_end(args);
  return result;
}

std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty() || from == to) return text;
  std::string result;
  result.reserve(text.size());
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(from, pos);
    if (hit == std::string::npos) break;
    result.append(text, pos, hit - pos);
    result.append(to);
    pos = hit + from.size();
  }
  result.append(text, pos, std::string::npos);
  return result;
}

void ToLower(std::string& text) {
  for (char& c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'A' && u <= 'Z') c = static_cast<char>(u - 'A' + 'a');
  }
}

std::string ForLog(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

std::string ToUpper(const std::string& text) {
  std::string result(text);
  for (char& c : result) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z') c = static_cast<char>(u - 'a' + 'A');
  }
  return result;
}

std::wstring WidenString(const std::string& text) {
  std::wstring result;
  result.reserve(text.size());
  for (char c : text) result.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return result;
}

std::u16string Utf8ToUtf16(const std::string& text) {
  constexpr uint32_t kInvalid = 0x110000;  // anything above 0x10FFFF is dropped
  std::u16string result;
  result.reserve(text.size());

  auto emit = [&result](uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return;
    if (cp <= 0xFFFF) {
      result.push_back(static_cast<char16_t>(cp));
    } else {
      cp -= 0x10000;
      result.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
  };

  bool pending = false;  // a lead byte has started a code point
  uint32_t cp = 0;
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b == 0) break;
    if (b >= 0x80 && b <= 0xBF) {
      // A continuation with no lead byte is dropped. Long runs saturate at
      // kInvalid so that a wrapped value can never come back in range.
      if (pending) cp = cp >= kInvalid ? kInvalid : std::min<uint32_t>((cp << 6) | (b & 0x3F), kInvalid);
      continue;
    }
    if (pending) emit(cp);
    pending = false;
    if (b < 0x80) {
      emit(b);
    } else {
      pending = true;
      cp = b >= 0xF0 ? (b & 0x07u) : b >= 0xE0 ? (b & 0x0Fu) : (b & 0x1Fu);
    }
  }
  if (pending) emit(cp);
  return result;
}

std::string FormatIPv4(uint32_t address) {
  return FormatString("%u.%u.%u.%u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu, (address >> 8) & 0xFFu,
                      address & 0xFFu);
}

}  // namespace corvane
