// The host's service manager as the service framework (Service.h) sees it:
// the control dispatcher, the control handler's registration, status reports
// and the location of service registrations.
//
// On this host the service manager is systemd. A service is registered as a
// unit file; the stop control is SIGTERM (systemctl stop) or SIGINT (Ctrl-C
// in the foreground); status changes are passed on to systemd's notification
// socket when $NOTIFY_SOCKET names one: READY=1 when RUNNING is reported,
// STOPPING=1 when STOP_PENDING is.
//
// SIGTERM and SIGINT can only be taken reliably by one thread when every
// thread blocks them, so PrepareServiceProcess must run first thing in main,
// before any thread exists: threads inherit the mask.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Service.h"

namespace corvane::platform {

using ServiceControlHandler = uint32_t (*)(uint32_t control, uint32_t eventType, void* eventData, void* context);

// Blocks SIGTERM and SIGINT in the calling thread, and has large blocks of
// memory (1 MiB and more) handed back to the system as soon as they are
// freed, so what a peer made the service hold does not stay resident.
void PrepareServiceProcess();

// Unblocks SIGTERM and SIGINT in the calling thread (and so in the threads it
// starts from then on): their default action ends the process again. For a
// foreground run that has no dispatcher to take them.
void ReleaseStopSignals();

// The control dispatcher. Runs serviceMain on a thread of its own and turns
// SIGTERM and SIGINT into the stop control on the calling thread, which is
// the control thread: the handler registered by RegisterServiceControlHandler
// is called there, one control at a time. A stop that arrives before a
// handler is registered is delivered once one is; a stop is not delivered
// while the last reported state is STOP_PENDING or STOPPED, nor when the
// reported controls do not accept it. Returns true once serviceMain has
// returned and its thread has been joined; false at once when a dispatcher
// runs already or the signal or thread set-up fails (serviceMain not run).
bool RunServiceDispatcher(const std::function<void()>& serviceMain);

// Registers the control handler of the running dispatcher. Returns the status
// handle (non-zero), or 0 when no dispatcher runs on this process.
uint64_t RegisterServiceControlHandler(const std::string& name, ServiceControlHandler handler, void* context);

// Withdraws the handler of the running dispatcher; waits for a control that
// is being handled to finish, so the context may be released afterwards.
void ClearServiceControlHandler();

// Reports a status through a handle from RegisterServiceControlHandler.
// False when the handle is not that of the running dispatcher.
bool SetServiceStatus(uint64_t handle, const ServiceStatus& status);

// Sends one state datagram ("READY=1", "STOPPING=1") to $NOTIFY_SOCKET.
// False when the variable is not set or the datagram cannot be sent.
bool NotifyServiceManager(const std::string& state);

// The folder of service registrations: $CORVANE_SYSTEMD_DIR when set and not
// empty, else /etc/systemd/system.
std::string ServiceUnitDirectory();

// The unit file name of a service: every character outside [A-Za-z0-9_.:-]
// becomes "-", then ".service" ("Talvenor Discovery Service" gives
// "Talvenor-Discovery-Service.service").
std::string ServiceUnitName(const std::string& serviceName);

// The unit file text for InstallService; "" when a field cannot be written
// into a unit file: a line break in any field, or an executable path that
// systemd would refuse (empty, control characters, backslashes, quotes other
// than one enclosing pair). "%" is doubled where systemd expands specifiers.
std::string ServiceUnitText(const std::string& executablePath, const std::string& displayName,
                            const std::string& description, const std::string& dependencies,
                            bool restartOnFailure);

}  // namespace corvane::platform
