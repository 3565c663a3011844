// The one little-endian encoder and decoder shared by both stream kinds and
// the BSON writer. Explicit byte shifts keep the wire form independent of
// the host's byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace corvane::le {

template <class T>
struct Unsigned;
template <> struct Unsigned<uint8_t> { using type = uint8_t; };
template <> struct Unsigned<int8_t> { using type = uint8_t; };
template <> struct Unsigned<uint16_t> { using type = uint16_t; };
template <> struct Unsigned<int16_t> { using type = uint16_t; };
template <> struct Unsigned<uint32_t> { using type = uint32_t; };
template <> struct Unsigned<int32_t> { using type = uint32_t; };
template <> struct Unsigned<uint64_t> { using type = uint64_t; };
template <> struct Unsigned<int64_t> { using type = uint64_t; };
template <> struct Unsigned<float> { using type = uint32_t; };
template <> struct Unsigned<double> { using type = uint64_t; };

template <class T>
inline void Store(uint8_t* out, T value) {
  using U = typename Unsigned<T>::type;
  static_assert(sizeof(U) == sizeof(T));
  U bits = std::bit_cast<U>(value);
  for (size_t i = 0; i < sizeof(U); ++i) {
    out[i] = static_cast<uint8_t>(bits >> (8 * i));
  }
}

template <class T>
inline T Load(const uint8_t* in) {
  using U = typename Unsigned<T>::type;
  U bits = 0;
  for (size_t i = 0; i < sizeof(U); ++i) {
    bits = static_cast<U>(bits | (static_cast<U>(in[i]) << (8 * i)));
  }
  return std::bit_cast<T>(bits);
}

}  // namespace corvane::le
