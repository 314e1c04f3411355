// Native helper of win/run.sh: after a whole download under Wine, reads the
// flash state the simulated phone saved and checks it, with the independent
// flash checker, against the package the Windows host downloaded.
//
//   vantrel_wine_check PACKAGE STATE
//
// Prints the checker's summary and problems; exits 0 only when the check
// passed, 1 when it found problems, 2 when an input could not be read.
#include <cstdio>
#include <string>

#include "images/package.h"
#include "sim/check/flash_check.h"
#include "sim/flash.h"

namespace {

vantrel::flashcheck::Bytes Copy(const vantrel::ImageDesc& d) {
  return d.empty() ? vantrel::flashcheck::Bytes{} : vantrel::flashcheck::Bytes(d.data, d.data + d.length);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vantrel_wine_check PACKAGE STATE\n");
    return 2;
  }
  vantrel::ImageDesc bootloader, ext, rom, rom2, fs[4];
  std::string why;
  if (!vantrel::LoadFirmwarePackage(argv[1], &bootloader, &ext, &rom, &rom2, fs, &why)) {
    std::fprintf(stderr, "vantrel_wine_check: package %s: %s\n", argv[1], why.c_str());
    return 2;
  }
  auto flash = vantrel::sim::Flash::FromFile(argv[2], &why);
  if (!flash) {
    std::fprintf(stderr, "vantrel_wine_check: flash state %s: %s\n", argv[2], why.c_str());
    return 2;
  }
  vantrel::flashcheck::ExpectedFirmware fw;
  fw.bootloader = Copy(bootloader);
  fw.extendedBootloader = Copy(ext);
  fw.romImage = Copy(rom);
  fw.secondaryRomImage = Copy(rom2);
  for (const auto& slot : fs)
    if (!slot.empty()) fw.fsImages.push_back(Copy(slot));  // empty slots are never written
  vantrel::flashcheck::CheckReport r = vantrel::flashcheck::CheckFlash(*flash, fw);
  std::printf("%s", r.summary.c_str());
  for (const auto& p : r.problems) std::printf("problem: %s\n", p.c_str());
  return r.ok ? 0 : 1;
}
