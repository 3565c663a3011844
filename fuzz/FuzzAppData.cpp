// Display application data and names from the network: the parsers must
// keep their bounds and the web API's JSON must stay well formed.
#include <rapidjson/document.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "TalvenorDiscoveryAppData.h"
#include "TdsWebHandler.h"

using corvane::talvenor::TagSet;
using corvane::talvenor::TalvenorDiscoveryAppData;

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string session;
  TalvenorDiscoveryAppData::ParseSessionName(text, &session);
  Check(session.size() <= 1024 && session.find(';') == std::string::npos);
  TagSet tags;
  TalvenorDiscoveryAppData::ParseTags(text, &tags);
  for (const auto& tag : tags) Check(!tag.name.empty() && tag.name.size() <= 255);
  std::vector<corvane::UUID> synced;
  TalvenorDiscoveryAppData::ParseSyncedDisplays(text, &synced);
  Check(synced.size() <= 1024);

  TdsWebHandler::DisplayInfo display;
  display.name = text;
  display.appData = text;
  display.flags = size > 0 ? 0x01000000u * (data[0] & 1) : 0;
  const std::string json = TdsWebHandler::BuildDiscoverJson({display});
  rapidjson::Document parsed;
  parsed.Parse<rapidjson::kParseIterativeFlag>(json.data(), json.size());
  Check(!parsed.HasParseError());
  Check(parsed["displays"][0]["name"].GetStringLength() == text.size());
  return 0;
}
