#include "DiscoveryServiceCrossCommunicator.h"

#include <utility>

#include "DiscoveryService.h"
#include "DiscoveryServicePersistent.h"
#include "Result.h"

namespace corvane::talvenor::server {

DiscoveryServiceCrossCommunicator::DiscoveryServiceCrossCommunicator(
    TalvenorDiscoveryService* service, std::weak_ptr<TalvenorDiscoveryServicePersistent> persistent)
    : context_(new ThreadContext(kMaxQueuedUpdates, kQueueWaitMs, "tds-bridge"), false),
      service_(service),
      persistent_(std::move(persistent)) {}

DiscoveryServiceCrossCommunicator::~DiscoveryServiceCrossCommunicator() {
  context_->Stop();
  persistent_.reset();
  context_.Reset();
}

int DiscoveryServiceCrossCommunicator::UpdateDisplay(const IDiscoveryService::DisplayInfo& display,
                                                     CrossDirection direction) {
  if (direction != CrossDirection_FromProtocol1 && direction != CrossDirection_FromProtocol2) return direction;
  if (context_->IsOnContextThread()) {
    Deliver(display, direction);
    return Result_Ok;
  }
  return context_->Post([this, display, direction] { Deliver(display, direction); }) ? Result_Ok : Result_Fail;
}

void DiscoveryServiceCrossCommunicator::Deliver(const IDiscoveryService::DisplayInfo& display,
                                                CrossDirection direction) {
  if (direction == CrossDirection_FromProtocol1) {
    if (auto persistent = persistent_.lock()) persistent->ForwardToSubscribers(display);
    return;
  }
  CheckedLock hold(serviceLock_);
  if (service_ != nullptr) service_->StoreForeignDisplay(display);
}

int DiscoveryServiceCrossCommunicator::RemoveDisplay(const UUID& id, CrossDirection direction) {
  if (direction == CrossDirection_FromProtocol1) {
    if (auto persistent = persistent_.lock()) return persistent->RemoveForeignDisplay(id);
    return Result_Ok;
  }
  if (direction == CrossDirection_FromProtocol2) {
    CheckedLock hold(serviceLock_);
    if (service_ != nullptr) service_->RemoveDisplayByUuid(id);
    return Result_Ok;
  }
  return direction;
}

void DiscoveryServiceCrossCommunicator::DetachService() {
  {
    CheckedLock hold(serviceLock_);
    service_ = nullptr;
  }
  Drain();
}

void DiscoveryServiceCrossCommunicator::Drain() {
  if (context_->IsOnContextThread()) return;
  std::unique_ptr<Scheduler::Event> done(GetDefaultScheduler()->CreateEvent(false, false));
  if (!done) return;
  Scheduler::Event* event = done.get();
  // A full queue makes the post wait for room, then for the marker to run.
  context_->Post([] {}, &event);
}

}  // namespace corvane::talvenor::server
