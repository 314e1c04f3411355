#pragma once
#include <cstdint>

namespace vantrel {

// How every image is handed to the protocol code. Never owns its bytes: the
// carried images are constant data of the module, package images belong to
// the process-wide image store.
struct ImageDesc {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  uint32_t address = 0;  // target load address, placement word, or 0

  bool empty() const { return data == nullptr || length == 0; }
};

}  // namespace vantrel
