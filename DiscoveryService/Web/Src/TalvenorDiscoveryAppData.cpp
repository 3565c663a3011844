#include "TalvenorDiscoveryAppData.h"

#include <climits>
#include <string_view>

#include "CrashLog.h"
#include "DataStream.h"
#include "Result.h"
#include "StringUtils.h"

#define APP_DATA_FUNCTION(name) "corvane::talvenor::TalvenorDiscoveryAppData::" name

namespace corvane::talvenor {

namespace {

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// What a C scanner sees from `at`: the text up to the next NUL.
std::string_view ScannerText(const std::string& text, size_t at) {
  std::string_view rest = std::string_view(text).substr(at);
  return rest.substr(0, rest.find('\0'));
}

// "%d": white space, an optional sign, at least one digit; saturates to the
// 32-bit range rather than overflowing.
bool ScanInt(std::string_view text, int32_t* out) {
  size_t p = 0;
  while (p < text.size() && IsCSpace(text[p])) ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  if (p >= text.size() || text[p] < '0' || text[p] > '9') return false;
  int64_t value = 0;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
    if (value <= int64_t{INT32_MAX} + 1) value = value * 10 + (text[p] - '0');
  }
  if (negative) value = -value;
  *out = static_cast<int32_t>(value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : value);
  return true;
}

}  // namespace

std::string TagColorText(int32_t colorIndex) {
  switch (colorIndex) {
    case 0: return "0x6b9ff2";
    case 1: return "0xf2836b";
    case 2: return "0x63bda0";
    case 3: return "0xd981b7";
    default: return "0x000000";
  }
}

namespace client {

int INetworkCuration::Tag::Deserialize(IDataStream* stream) {
  if (!stream) return Result_InvalidPointer;
  uint8_t color = 0;
  int result = stream->ReadString(&name) | stream->ReadUInt8(&color);
  colorIndex = color;
  return result;
}

int INetworkCuration::Tag::Serialize(IDataStream* stream) const {
  if (!stream) return Result_InvalidPointer;
  return stream->WriteString(name) | stream->WriteUInt8(static_cast<uint8_t>(colorIndex & 0xFF));
}

MonitorValue INetworkCuration::Tag::GetMonitorMap() const {
  MonitorMap map;
  map["type"] = std::string("tag");
  map["name"] = name;
  map["color"] = TagColorText(colorIndex);
  return map;
}

int IDiscovery::Tag::Deserialize(IDataStream* stream) {
  if (!stream) return Result_InvalidPointer;
  int result = INetworkCuration::Tag::Deserialize(stream);
  return result | stream->ReadUInt32(&reserved);
}

int IDiscovery::Tag::Serialize(IDataStream* stream) const {
  if (!stream) return Result_InvalidPointer;
  int result = INetworkCuration::Tag::Serialize(stream);
  return result | stream->WriteUInt32(reserved);
}

}  // namespace client

bool TagNameLess::operator()(const client::IDiscovery::Tag& a, const client::IDiscovery::Tag& b) const {
  return ToUpper(a.name) < ToUpper(b.name);
}

std::string TalvenorDiscoveryAppData::FindNamedValue(const std::string& appData, const std::string& key) {
  constexpr size_t kMaxValue = 1024;
  for (size_t p = 0;;) {
    size_t semicolon = appData.find(';', p);
    if (semicolon == std::string::npos) return "";
    // "%2[a-zA-Z]=%1024[^;];" at p.
    std::string_view text = ScannerText(appData, p);
    size_t keyEnd = 0;
    while (keyEnd < text.size() && keyEnd < 2 && IsLetter(text[keyEnd])) ++keyEnd;
    if (keyEnd > 0 && keyEnd < text.size() && text[keyEnd] == '=') {
      std::string_view value = text.substr(keyEnd + 1);
      value = value.substr(0, std::min(value.find(';'), kMaxValue));
      if (!value.empty() && text.substr(0, keyEnd) == key) return std::string(value);
    }
    p = semicolon + 1;
  }
}

void TalvenorDiscoveryAppData::ParseSessionName(const std::string& appData, std::string* out) {
  CRASH_LOG_GUARD(APP_DATA_FUNCTION("ParseSessionName"), [&] {
    if (out) *out = FindNamedValue(appData, "SN");
  });
}

void TalvenorDiscoveryAppData::ParseSyncedDisplays(const std::string& appData, std::vector<UUID>* out) {
  CRASH_LOG_GUARD(APP_DATA_FUNCTION("ParseSyncedDisplays"), [&] { DoParseSyncedDisplays(appData, out); });
}

void TalvenorDiscoveryAppData::DoParseSyncedDisplays(const std::string& appData, std::vector<UUID>* out) {
  if (!out) return;
  out->clear();
  std::string list = FindNamedValue(appData, "SD");
  std::string_view rest(list);
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, std::min<size_t>(comma, 255));
    if (!item.empty()) out->push_back(UUID::Parse(item));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
}

void TalvenorDiscoveryAppData::ParseTags(const std::string& appData, TagSet* out) {
  CRASH_LOG_GUARD(APP_DATA_FUNCTION("ParseTags"), [&] { DoParseTags(appData, out); });
}

void TalvenorDiscoveryAppData::DoParseTags(const std::string& appData, TagSet* out) {
  if (!out) return;
  out->clear();
  std::string list = FindNamedValue(appData, "TG");
  std::string_view rest(list);
  while (!rest.empty()) {
    // "%255[^:]:%d": a name longer than 255 characters fails at the ':'.
    size_t nameEnd = 0;
    while (nameEnd < rest.size() && nameEnd < 255 && rest[nameEnd] != ':') ++nameEnd;
    int32_t color = 0;
    if (nameEnd > 0 && nameEnd < rest.size() && rest[nameEnd] == ':' && ScanInt(rest.substr(nameEnd + 1), &color)) {
      out->insert(client::IDiscovery::Tag(Unescape(std::string(rest.substr(0, nameEnd))), color));
    }
    size_t comma = rest.find(',');
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
}

std::string TalvenorDiscoveryAppData::Unescape(const std::string& text) {
  return ReplaceAll(ReplaceAll(ReplaceAll(text, "%3A", ":"), "%2C", ","), "%3B", ";");
}

}  // namespace corvane::talvenor
