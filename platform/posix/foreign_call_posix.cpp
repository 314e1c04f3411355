#include "platform/foreign_call.h"

namespace vantrel::platform {

bool CallForeign(int32_t (*call)(void*), void* context, int32_t* result) {
  try {
    *result = call(context);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace vantrel::platform
