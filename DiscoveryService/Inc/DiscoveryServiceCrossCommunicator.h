// The bridge that keeps the two discovery registries in step. The protocol-1
// service hands it every UpdateDisplay and every purge (direction
// FromProtocol1, to the protocol-2 registry); the protocol-2 registry hands
// it every new or changed publish and every purge of a publisher (direction
// FromProtocol2, to the protocol-1 service). Neither side hands back what it
// got from the bridge, so nothing loops.
//
// Updates run on the bridge's own work thread, in the order posted (at most
// 10 queued; a poster waits up to 1000 ms for room, then the update is
// lost). Removals run on the caller's thread.
//
// Tear-down: DetachService waits for a call into the protocol-1 service in
// progress, turns later ones into nothing, and drains the queue; call it
// before the service goes away. The last reference must not be dropped on
// the bridge's own thread (its destructor stops that thread).
#pragma once

#include <memory>
#include <mutex>

#include "DisplayInfo.h"
#include "ICrossCommunicator.h"
#include "RefCount.h"
#include "ThreadContext.h"
#include "ThreadAnnotations.h"

namespace corvane::talvenor::server {

class TalvenorDiscoveryService;
class TalvenorDiscoveryServicePersistent;

class DiscoveryServiceCrossCommunicator : public ICrossCommunicator {
 public:
  static constexpr uint32_t kMaxQueuedUpdates = 10;
  static constexpr uint32_t kQueueWaitMs = 1000;

  // service may be null (nothing goes to protocol 1).
  DiscoveryServiceCrossCommunicator(TalvenorDiscoveryService* service,
                                    std::weak_ptr<TalvenorDiscoveryServicePersistent> persistent);
  // Lets the queued updates run, then stops the thread.
  ~DiscoveryServiceCrossCommunicator() override;
  DiscoveryServiceCrossCommunicator(const DiscoveryServiceCrossCommunicator&) = delete;
  DiscoveryServiceCrossCommunicator& operator=(const DiscoveryServiceCrossCommunicator&) = delete;

  // Off the bridge's thread: queued, 0 (or Result_Fail when the update was
  // lost). On it: delivered at once. An unknown direction does nothing.
  int UpdateDisplay(const IDiscoveryService::DisplayInfo& display, CrossDirection direction) override;
  int RemoveDisplay(const UUID& id, CrossDirection direction) override;

  void DetachService();
  // Returns once every update queued before the call has run.
  void Drain();

 private:
  void Deliver(const IDiscoveryService::DisplayInfo& display, CrossDirection direction);

  RefPtr<ThreadContext> context_;
  // Held across each call into the protocol-1 service (so its locks come
  // after this one) and while the service is detached.
  CheckedMutex serviceLock_;
  TalvenorDiscoveryService* service_ GUARDED_BY(serviceLock_);
  std::weak_ptr<TalvenorDiscoveryServicePersistent> persistent_;
};

}  // namespace corvane::talvenor::server
