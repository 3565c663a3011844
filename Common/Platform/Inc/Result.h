// Result codes returned by the framework's operations: 0 for success, the top
// bit set for failure.
#pragma once

#include <cstdint>

namespace corvane {

enum _Enum_Result_ : int32_t {
  Result_Ok = 0,
  Result_Fail = static_cast<int32_t>(0x80000000u),
  Result_InvalidPointer = static_cast<int32_t>(0x80000001u),
  Result_InvalidArgument = static_cast<int32_t>(0x80000003u),
  Result_Timeout = static_cast<int32_t>(0x80000007u),
  Result_NotInitialized = static_cast<int32_t>(0x8000000Bu),
  Result_AlreadyInitialized = static_cast<int32_t>(0x8000000Cu),
  Result_NotImplemented = static_cast<int32_t>(0x8000000Du),
  Result_VersionMismatch = static_cast<int32_t>(0x80000037u),
  Result_ConnectionNotFound = static_cast<int32_t>(0x80000039u),
  Result_WriteTimeout = static_cast<int32_t>(0x8000003Au),
  Result_NoSuchStub = static_cast<int32_t>(0x8000003Bu),
  Result_ConnectionLost = static_cast<int32_t>(0x8000003Du),
};

inline bool Succeeded(int32_t result) { return result >= 0; }
inline bool Failed(int32_t result) { return result < 0; }

}  // namespace corvane
