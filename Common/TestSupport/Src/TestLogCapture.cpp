#include "TestLogCapture.h"

#include "LoggerImpl.h"

namespace corvane::test {

ScopedCapture::ScopedCapture() : store_(new CapturingStore(), false) {
  static_cast<Logger*>(GetLoggerInstance())->ForgetPlaces();
  GetLoggerInstance()->AddStore(store_.Get());
}

}  // namespace corvane::test
