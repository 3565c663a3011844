// The application data a display publishes with its record: entries
// "<key>=<value>;" with a key of one or two letters and a value of 1 to 1024
// characters other than ';'. The web API reads three of them: "SN" (session
// name, raw), "SD" (comma-separated display UUIDs) and "TG" (comma-separated
// "<name>:<colour index>" tags, ':' ',' ';' in names escaped as "%3A" "%2C"
// "%3B").
//
// The parsers read the text as the C scanners always have: a NUL byte ends
// the text an entry is read from, "%d" skips leading white space and takes a
// sign, and a number outside the 32-bit range saturates to its end.
#pragma once

#include <boost/variant.hpp>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Serialize.h"
#include "Uuid.h"

namespace corvane::talvenor {

// A property tree for monitoring tools.
using MonitorValue = boost::make_recursive_variant<std::string, int64_t, bool,
                                                   std::map<std::string, boost::recursive_variant_>>::type;
using MonitorMap = std::map<std::string, MonitorValue>;

class IMonitorMappable {
 public:
  virtual ~IMonitorMappable() = default;
  virtual MonitorValue GetMonitorMap() const = 0;
};

// 0 "0x6b9ff2", 1 "0xf2836b", 2 "0x63bda0", 3 "0xd981b7", else "0x000000".
std::string TagColorText(int32_t colorIndex);

namespace client {

class INetworkCuration {
 public:
  // Wire form: name (u32 length + bytes), colour index (u8, low 8 bits).
  class Tag : public ISerialize, public IMonitorMappable {
   public:
    Tag() = default;
    Tag(std::string tagName, int32_t tagColorIndex) : name(std::move(tagName)), colorIndex(tagColorIndex) {}
    Tag(const Tag&) = default;
    Tag& operator=(const Tag&) = default;
    // Both return the OR of the stream results (negative when any failed).
    int Deserialize(IDataStream* stream) override;
    int Serialize(IDataStream* stream) const override;
    ~Tag() override = default;
    // {"type": "tag", "name": name, "color": TagColorText(colorIndex)}.
    MonitorValue GetMonitorMap() const override;

    std::string name;
    int32_t colorIndex = 0;
  };
};

class IDiscovery {
 public:
  // The base form followed by `reserved` (u32, always 0 here).
  class Tag : public INetworkCuration::Tag {
   public:
    Tag(std::string tagName, int32_t tagColorIndex) : INetworkCuration::Tag(std::move(tagName), tagColorIndex) {}
    Tag(const Tag& other) : INetworkCuration::Tag(other) {}
    Tag& operator=(const Tag&) = default;
    int Deserialize(IDataStream* stream) override;
    int Serialize(IDataStream* stream) const override;

    uint32_t reserved = 0;
  };
};

}  // namespace client

// Names compared upper-cased, byte by byte: names differing only in letter
// case are one tag.
struct TagNameLess {
  bool operator()(const client::IDiscovery::Tag& a, const client::IDiscovery::Tag& b) const;
};
using TagSet = std::set<client::IDiscovery::Tag, TagNameLess>;

class TalvenorDiscoveryAppData {
 public:
  // The value of the first entry with this key; "" when absent or empty.
  // Entries are recognised only at the start and after a ';', need their
  // terminating ';', and a value is cut to 1024 characters.
  static std::string FindNamedValue(const std::string& appData, const std::string& key);
  static void ParseSessionName(const std::string& appData, std::string* out);
  // Empty items are skipped; order and duplicates are kept; an item is read
  // up to 255 characters and parsed leniently (UUID::Parse).
  static void ParseSyncedDisplays(const std::string& appData, std::vector<UUID>* out);
  // Items "<name up to 255 characters>:<integer>"; malformed items add
  // nothing; the first of names equal ignoring case wins. A name is read up
  // to the next ':' even across a ',' (only unescaped input has that case).
  static void ParseTags(const std::string& appData, TagSet* out);
  // "%3A" -> ':', then "%2C" -> ',', then "%3B" -> ';' (case-sensitive).
  static std::string Unescape(const std::string& text);

 private:
  static void DoParseSyncedDisplays(const std::string& appData, std::vector<UUID>* out);
  static void DoParseTags(const std::string& appData, TagSet* out);
};

}  // namespace corvane::talvenor
