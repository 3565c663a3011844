#include "DisplayInfo.h"

#include <type_traits>

#include "DataStream.h"
#include "DataStreamV1.h"
#include "Result.h"

namespace corvane::talvenor::server {

namespace {

// The older stream has no UUID writer of its own; the layout is the same.
int WriteId(IDataStreamV1* stream, const UUID& id) {
  int result = stream->WriteUInt32(id.Data1);
  result |= stream->WriteUInt16(id.Data2);
  result |= stream->WriteUInt16(id.Data3);
  for (uint8_t byte : id.Data4) result |= stream->WriteUInt8(byte);
  return result;
}

template <class Stream>
int WriteRecord(Stream* stream, const IDiscoveryService::DisplayInfo& info) {
  int result = 0;
  if constexpr (std::is_same_v<Stream, IDataStream>) {
    result |= info.id.Serialize(stream);
  } else {
    result |= WriteId(stream, info.id);
  }
  result |= stream->WriteString(info.name);
  result |= stream->WriteUInt32(info.ipv4);
  result |= stream->WriteUInt16(info.port);
  result |= stream->WriteUInt32(info.flags);
  result |= stream->WriteString(info.appData);
  return result;
}

template <class Stream>
int ReadRecord(Stream* stream, IDiscoveryService::DisplayInfo& info) {
  int result = info.id.Deserialize(stream);
  result |= stream->ReadString(&info.name);
  result |= stream->ReadUInt32(&info.ipv4);
  result |= stream->ReadUInt16(&info.port);
  result |= stream->ReadUInt32(&info.flags);
  result |= stream->ReadString(&info.appData);
  return result;
}

}  // namespace

int IDiscoveryService::DisplayInfo::Deserialize(IDataStreamV1* stream) {
  if (!stream) return Result_InvalidPointer;
  return ReadRecord(stream, *this);
}

int IDiscoveryService::DisplayInfo::Deserialize(IDataStream* stream) {
  if (!stream) return Result_InvalidPointer;
  return ReadRecord(stream, *this);
}

int IDiscoveryService::DisplayInfo::Serialize(IDataStreamV1* stream) const {
  if (!stream) return Result_InvalidPointer;
  return WriteRecord(stream, *this);
}

int IDiscoveryService::DisplayInfo::Serialize(IDataStream* stream) const {
  if (!stream) return Result_InvalidPointer;
  return WriteRecord(stream, *this);
}

bool IDiscoveryService::DisplayInfo::operator==(const DisplayInfo& other) const {
  return id == other.id && secondaryName == other.secondaryName && name == other.name && ipv4 == other.ipv4 &&
         port == other.port && flags == other.flags && appData == other.appData;
}

}  // namespace corvane::talvenor::server
