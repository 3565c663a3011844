#include "Scheduler.h"

namespace corvane {

// Filled in by the crash-log component.
void InstallCrashHandler() {}

}  // namespace corvane
