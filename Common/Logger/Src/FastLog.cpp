#include "FastLog.h"

#include "Result.h"

namespace corvane {
namespace FastLog {

bool WriterExists() { return false; }

int Post(Message* record) {
  // Nothing in this system starts a writer, so there is no queue to join.
  delete record;
  return Result_Fail;
}

}  // namespace FastLog
}  // namespace corvane
