// The display record: the unit both discovery registries store, compare and
// send. Only the part of IDiscoveryService that the record needs is
// declared here; the service interface grows with the protocol-1 service.
//
// Wire form (both stream kinds, byte for byte the same): id (u32, u16, u16,
// eight bytes), name (u32 length + bytes), ipv4 (u32 of the host-order
// value), port (u16), flags (u32), appData (u32 length + bytes), all
// little-endian: 34 + name length + appData length bytes. secondaryName
// travels only in protocol-1 calls and is never part of this form.
#pragma once

#include <cstdint>
#include <string>

#include "Uuid.h"

namespace corvane {
class IDataStream;
class IDataStreamV1;
}  // namespace corvane

namespace corvane::talvenor::server {

class IDiscoveryService {
 public:
  class DisplayInfo {
   public:
    DisplayInfo() = default;
    DisplayInfo(const DisplayInfo&) = default;
    DisplayInfo& operator=(const DisplayInfo&) = default;
    virtual ~DisplayInfo() = default;

    // Each item is read in turn whatever the result of the one before; the
    // results are OR-ed (negative when any read failed) and the fields read
    // keep their new values, so a negative result means: discard the record.
    // secondaryName is not touched. A null stream gives Result_InvalidPointer.
    virtual int Deserialize(IDataStreamV1* stream);
    virtual int Deserialize(IDataStream* stream);
    // Every item is written; the OR of the results is returned.
    virtual int Serialize(IDataStreamV1* stream) const;
    virtual int Serialize(IDataStream* stream) const;

    // All seven fields, secondaryName included.
    bool operator==(const DisplayInfo& other) const;
    bool operator!=(const DisplayInfo& other) const { return !(*this == other); }

    corvane::UUID id;
    std::string secondaryName;
    std::string name;
    uint32_t ipv4 = 0;  // host byte order: 192.168.1.10 is 0xC0A8010A
    uint16_t port = 0;
    // Bits 16-23 user count, 11 locked, 14 AirPlay enabled, 24 in session,
    // 25 session capable; the registries never interpret it.
    uint32_t flags = 0;
    std::string appData;
  };

  virtual ~IDiscoveryService() = default;
};

}  // namespace corvane::talvenor::server
