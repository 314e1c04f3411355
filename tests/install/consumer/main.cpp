// Links against the installed libvantrel and creates one session, as a
// host would: proves the headers, the library and its exports arrive whole.
#include <cstdio>
#include <cstring>

#include <vantrel/codes.h>
#include <vantrel/interface.h>

namespace {
class Host : public HostCallback {
 public:
  void VANTREL_SLOT Slot0(unsigned) override {}
  int32_t VANTREL_SLOT OnProgress(int32_t, int32_t, const char*) override { return 1; }
  int32_t VANTREL_SLOT OnMessage(int32_t, int32_t, const char*) override { return 1; }
};
}  // namespace

int main() {
  char model[16] = {};
  if (GetDefinedData(0, nullptr, model) != 1 || std::strcmp(model, "QVR810") != 0) return 1;
  Host host;
  CInterfaceTemplate* session = nullptr;
  if (NewDll(&host, &session, 0) != 1 || !session) return 2;
  if (session->SetOption(0, 0) != 1 || DeleteDll(&session) != 1 || session) return 3;
  std::printf("model %s; a session created and deleted; FsLayoutMismatch = %d\n", model, vantrel::kFsLayoutMismatch);
  return 0;
}
