// 128-bit identifiers of displays, connections, message types, RPC objects
// and calls. Placeholder layout; the full value type (text form, ordering,
// stream serialisation) lives here too.
#pragma once

#include <cstdint>

namespace corvane {

class UUID {
 public:
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {0, 0, 0, 0, 0, 0, 0, 0};
};

}  // namespace corvane
