#pragma once
// Reading the package builder's JSON description: its numbers, the image
// files it names, and the sizes it asks for, checked before anything is made.
// Every function throws BuildError naming the key ("sections[3].size: ...").
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "images/package_format.h"
#include "tools/pkg/content.h"

namespace vantrel::pkg {

// The size of an image the description gives no size or file for.
inline constexpr uint32_t kDefaultBootloaderBytes = 24000;
inline constexpr uint32_t kDefaultExtBootloaderBytes = 12000;
inline constexpr uint32_t DefaultListedImageBytes(uint64_t type) {
  return type == kImageRom ? 256 * 1024 : 64 * 1024;
}

// A non-negative number, or a string of one ("0x..." or decimal).
uint64_t ToNumber(const nlohmann::json& v, const std::string& where);
// obj[key] as a 32-bit number; `fallback` when the key is absent.
uint32_t U32(const nlohmann::json& obj, const char* key, uint32_t fallback, const std::string& where);
Bytes ReadWholeFile(const std::filesystem::path& path, const std::string& where);
// The image from the file j["file"] names (relative to `base`): false when
// j names none, so the image is generated.
bool FromFile(const nlohmann::json& j, const std::filesystem::path& base, const std::string& where, Bytes* out);
// The image files the description names ("file" of the bootloaders and of
// the sections), relative to `base`, for the output never to replace one.
std::vector<InputFile> DescribedFiles(const nlohmann::json& d, const std::filesystem::path& base);
// Refuses a key the builder does not read, naming it and the keys of its
// place ("sections[2]: unknown key \"sise\" ...").
void CheckKeys(const nlohmann::json& d);
// Refuses images that no phone can hold (see the definition) from the
// description alone, before the builder makes a byte of them.
void CheckImageSizes(const nlohmann::json& d, const std::filesystem::path& base, uint32_t fs_start,
                     uint32_t block_main);

}  // namespace vantrel::pkg
