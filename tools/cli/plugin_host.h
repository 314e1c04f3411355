#pragma once
// A host stand-in: loads the plug-in library, finds the six exports by name,
// and drives one session by virtual-table slot, as the real host does.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "vantrel/interface.h"

namespace vantrel::cli {

struct HostEvent {
  int32_t kind;
  int32_t percent;
  std::string text;
};

// Prints each report as it arrives: messages on their own lines, transfer
// percentages as a bar redrawn in place.
class ConsoleCallback : public HostCallback {
 public:
  explicit ConsoleCallback(bool quiet = false) : quiet_(quiet) {}
  void VANTREL_SLOT Slot0(unsigned) override {}
  int32_t VANTREL_SLOT OnProgress(int32_t kind, int32_t percent, const char* text) override;
  int32_t VANTREL_SLOT OnMessage(int32_t kind, int32_t value, const char* text) override;
  std::vector<HostEvent> events() const;

 private:
  mutable std::mutex m_;
  std::vector<HostEvent> events_;
  bool quiet_;
  bool bar_open_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class PluginHost {
 public:
  ~PluginHost();
  // Loads the library; the default is libvantrel.so next to this program.
  bool Load(const std::string& path, std::string* error);

  struct Result {
    bool prepared = false;
    bool connected = false;
    bool downloaded = false;
  };
  // PreviousLoad, GetDefinedData, NewDll, Prepare, Timing(0), Connect,
  // Download, Timing(1), DeleteDll.
  Result RunDownload(const std::string& package, int32_t port_index, HostCallback* cb);

  static std::string DefaultLibraryPath();

 private:
  void* lib_ = nullptr;
  NewDllFn new_dll_ = nullptr;
  DeleteDllFn delete_dll_ = nullptr;
  GetDefinedDataFn get_defined_ = nullptr;
  PreviousLoadFn previous_load_ = nullptr;
};

}  // namespace vantrel::cli
