#pragma once
// Calls into code that is not the plug-in's own: the host's callback object.
// Whatever that code raises stops here and never unwinds through the
// plug-in's frames.
//
// On Windows the host's compiler raises its C++ exceptions as structured
// exceptions, which the plug-in's own exception handling does not see; the
// Windows file stops those as well, after the host's own frames have been
// unwound and the thrown object destroyed. Faults such as access violations
// are not stopped: they belong to whoever handles them further out.
#include <cstdint>

namespace vantrel::platform {

// Runs call(context). True with *result set when it returned; false (and
// *result untouched) when it raised.
bool CallForeign(int32_t (*call)(void* context), void* context, int32_t* result);

}  // namespace vantrel::platform
