// What the protocol-2 registry needs of the bridge between the two discovery
// registries: it hands over every new or changed display of its publishers
// and every purge of one. The bridge implements this interface.
#pragma once

#include "DisplayInfo.h"
#include "Uuid.h"

namespace corvane::talvenor::server {

// Which protocol a display handed to the bridge was learned over.
enum CrossDirection : int {
  // Learned over protocol 1; goes to the protocol-2 registry.
  CrossDirection_FromProtocol1 = 0,
  // Learned over protocol 2; goes to the protocol-1 service.
  CrossDirection_FromProtocol2 = 1,
};

class ICrossCommunicator {
 public:
  virtual ~ICrossCommunicator() = default;
  // May wait for room in the bridge's queue; the result is not examined.
  virtual int UpdateDisplay(const IDiscoveryService::DisplayInfo& display, CrossDirection direction) = 0;
  virtual int RemoveDisplay(const UUID& id, CrossDirection direction) = 0;
};

}  // namespace corvane::talvenor::server
