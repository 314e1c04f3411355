// Which device database the port scan reads: the system's unless a test has
// installed its own.
#include "platform/device_db.h"

#include <atomic>

namespace vantrel::platform {
namespace {
std::atomic<DeviceDatabase*> g_installed{nullptr};
}  // namespace

DeviceDatabase& GetDeviceDatabase() {
  DeviceDatabase* db = g_installed.load();
  return db ? *db : SystemDeviceDatabase();
}

DeviceDatabase* SetDeviceDatabase(DeviceDatabase* db) { return g_installed.exchange(db); }

}  // namespace vantrel::platform
