// The six exported entry points. Each runs inside a catch-all: nothing leaves
// the library as an exception.
#include <cstring>
#include <new>
#include <string>

#include "boundary/session.h"
#include "engine/engine.h"
#include "platform/text.h"

using vantrel::CBizDownload;

// The exported interface class: no data; copying copies nothing.
CInterfaceTemplate::CInterfaceTemplate() = default;
CInterfaceTemplate::CInterfaceTemplate(const CInterfaceTemplate&) = default;
CInterfaceTemplate& CInterfaceTemplate::operator=(const CInterfaceTemplate&) { return *this; }
CInterfaceTemplate::~CInterfaceTemplate() = default;


namespace {
// What SetParameter stores and GetParameter returns: the host may set these
// two, and nothing in the download reads them.
int32_t g_parameter1 = 0;
int32_t g_parameter20 = 0;
}  // namespace

extern "C" {

VANTREL_API int32_t NewDll(HostCallback* callback, CInterfaceTemplate** out, int32_t port_index) {
  try {
    if (!out || !callback) return 0;
    auto* session = new (std::nothrow) CBizDownload(port_index);
    if (!session) return 0;
    if (!session->SetHostCallback(callback)) {
      session->DeletingDestructor(1);
      return 0;
    }
    *out = session;
    return 1;
  } catch (...) {
    return 0;
  }
}

VANTREL_API int32_t DeleteDll(CInterfaceTemplate** session) {
  try {
    if (!session || !*session) return 0;
    (*session)->DeletingDestructor(1);
    *session = nullptr;
    return 1;
  } catch (...) {
    return 0;
  }
}

VANTREL_API int32_t GetDefinedData(int32_t type, int32_t* value, char* text) {
  try {
    switch (type) {
      case 0:
        if (!text) return 0;
        std::memcpy(text, "QVR810", 7);
        return 1;
      case 1:
        if (!text) return 0;
        std::memcpy(text, "IM", 3);
        return 1;
      case 2:
      case 3:
        if (!value) return 0;
        *value = 0;
        return 1;
      default:
        return 0;
    }
  } catch (...) {
    return 0;
  }
}

VANTREL_API int32_t GetParameter(int32_t, int32_t) { return 1; }

VANTREL_API int32_t SetParameter(int32_t type, int32_t value) {
  if (type == 1) g_parameter1 = value;
  if (type == 20) g_parameter20 = value;
  return 1;
}

VANTREL_API int32_t PreviousLoad(const char* package_path) {
  try {
    vantrel::SetPackagePath(vantrel::platform::NormalisePackagePath(package_path ? package_path : ""));
    return 1;
  } catch (...) {
    return 1;  // no failing input of its own
  }
}

}  // extern "C"
