#pragma once
// Writing one file-system image onto the phone's flash through the agent.
#include <cstdint>

#include "images/image_desc.h"
#include "link/link.h"

namespace vantrel {

// Results: 0, 1024, 3051, 4008, 4054, 4056 (see vantrel/codes.h). The image's
// length travels in its descriptor and is checked against its header.
int WriteFsImage(const ImageDesc& image, LinkHandle h, uint32_t erase_start, uint32_t erase_length,
                 uint32_t port);

}  // namespace vantrel
