#pragma once
// The session handed to the host for one phone port: prepare the images, wait
// for the phone's port and connect, download, count down the reset.
#include <atomic>
#include <cstdint>

#include "engine/engine.h"
#include "vantrel/interface.h"

namespace vantrel {

class CDllInterface : public CInterfaceTemplate {
 public:
  CDllInterface() = default;

  // 1 after storing the callback; 0 for null (nothing stored).
  int32_t SetHostCallback(HostCallback* cb);
  // The host's OnProgress/OnMessage; 0 when no callback is stored or when the
  // host's call raised (the session carries on).
  int32_t ReportProgress(int32_t kind, int32_t percent, const char* text);
  int32_t ReportMessage(int32_t kind, int32_t value, const char* text);

 protected:
  ~CDllInterface() = default;
  // Written by Stop on any thread, read by Connect's waiting loops.
  std::atomic<int32_t> stop_{1};
  HostCallback* host_ = nullptr;
};

class CBizDownload final : public CDllInterface {
 public:
  explicit CBizDownload(int32_t port_index);
  ~CBizDownload();

  void VANTREL_SLOT DeletingDestructor(unsigned flags) override;
  int32_t VANTREL_SLOT Prepare(int32_t unused) override;
  int32_t VANTREL_SLOT Connect() override;
  int32_t VANTREL_SLOT SetOption(int32_t kind, int32_t value) override;
  int32_t VANTREL_SLOT Download() override;
  int32_t VANTREL_SLOT Stop() override;
  int32_t VANTREL_SLOT Timing(int32_t kind) override;

  // The front end's cancel (the extension export): the port wait ends as
  // with Stop, and a running transfer at its next packet or block.
  void Cancel() {
    stop_.store(1);
    engine_.channel().Cancel();
  }

  uint32_t com_port() const { return com_port_; }
  bool stopped() const { return stop_.load() != 0; }
  CMTKClassEx<CBizDownload*>& engine() { return engine_; }

 private:
  // The reset countdown after a download: 80 reports one second apart; with
  // the front end's setting it ends once the port has gone or on cancel.
  void ResetWait();
  bool PortAbsent();
  void ReadEnvironment();

  int32_t port_index_;
  uint32_t com_port_;
  // Timing's state: the host starts and stops it; nothing else reads it.
  uint32_t timer_start_ = 0;
  int32_t timer_running_ = 0;
  CMTKClassEx<CBizDownload*> engine_;
};

// Sessions alive in this process, for the extension exports' pointer check.
void RegisterSession(const CBizDownload* s);
void UnregisterSession(const CBizDownload* s);
// The live session behind a pointer NewDll handed out, or null.
CBizDownload* FindLiveSession(CInterfaceTemplate* p);

// Seconds of the reset countdown after a successful download.
inline constexpr int kResetCountdownSeconds = 80;
// The port-wait poll period.
inline constexpr uint32_t kPortPollMs = 10;
// How often the reset countdown looks whether the port has gone, when a
// front end asked it to end then.
inline constexpr uint32_t kResetPollMs = 100;

}  // namespace vantrel
