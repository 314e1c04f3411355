#pragma once
#include <array>
#include <cstdint>

#include "images/image_desc.h"

namespace vantrel {

inline constexpr uint32_t kDa1Length = 82808;
inline constexpr uint32_t kDa1Address = 0x40001400;
inline constexpr uint32_t kDa2Length = 7492;
inline constexpr uint32_t kDa2Address = 0x50044000;
inline constexpr uint32_t kTableALength = 7524;  // 209 records of 36 bytes
inline constexpr uint32_t kTableARecord = 36;
inline constexpr uint32_t kTableBLength = 5512;  // 106 records of 52 bytes
inline constexpr uint32_t kTableBRecord = 52;

// Deterministic stand-in bytes (xorshift32) for builds without the real agent.
template <std::size_t N>
constexpr std::array<uint8_t, N> PlaceholderBytes(uint32_t seed) {
  std::array<uint8_t, N> out{};
  uint32_t x = seed ? seed : 1;
  for (std::size_t i = 0; i < N; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

// Defined in the generated agent_images_data.cpp.
extern const bool kCarriedImagesArePlaceholders;
extern const std::array<uint8_t, kDa1Length> kDa1Bytes;
extern const std::array<uint8_t, kDa2Length> kDa2Bytes;
extern const std::array<uint8_t, kTableALength> kTableABytes;
extern const std::array<uint8_t, kTableBLength> kTableBBytes;

inline ImageDesc Da1Image() { return {kDa1Bytes.data(), kDa1Length, kDa1Address}; }
inline ImageDesc Da2Image() { return {kDa2Bytes.data(), kDa2Length, kDa2Address}; }
inline ImageDesc TableAImage() { return {kTableABytes.data(), kTableALength, 0}; }
inline ImageDesc TableBImage() { return {kTableBBytes.data(), kTableBLength, 0}; }

}  // namespace vantrel
