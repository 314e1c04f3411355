#include "tests/reliability/matrix_util.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/engine.h"
#include "sim/check/fs_view.h"
#include "tools/pkg/sample.h"

namespace vantrel::testing {

pkg::BuiltPackage TinyPackage() { return pkg::BuildTinyPackage(); }

pkg::BuiltPackage TwoSectionPackage() {
  pkg::SampleOptions o;
  o.pageSize = 512;
  o.blockKiB = 16;
  o.multiRegion = true;
  o.fsImages = 2;
  o.dataBlocks = 2;
  o.tagModulus = 2;
  o.reservedCount = 6;
  o.extraSections = false;
  nlohmann::json d = pkg::SampleDescription(o);
  d["bootloader"]["size"] = 1500;
  d["extBootloader"]["size"] = 600;
  d["sections"][0]["size"] = 4096;
  d["sections"][1]["size"] = 1024;
  nlohmann::json single = d["sections"][2];
  single["fs"]["verbatim"] = true;
  single["fs"]["regions"] = nlohmann::json::array({{{"blocks", 2}}});
  d["sections"].push_back(single);
  return pkg::BuildPackage(d);
}

SessionResult RunQuietly(Rig& rig) {
  RecordingHost host;
  SessionResult r;
  ::testing::internal::CaptureStdout();
  r.result = rig.RunSession(host);
  r.log = ::testing::internal::GetCapturedStdout();
  r.bootCode = rig.boot_code();
  r.downloadCode = r.result == 0 ? rig.failure_code() : 0;
  return r;
}

SessionResult RunEngineQuietly(Rig& rig, unsigned com) {
  SessionResult r;
  SetPackagePath(rig.package_path());
  ::testing::internal::CaptureStdout();
  {
    CMTKClass engine;
    engine.PrepareEngine();
    if (engine.OpenLink(19200, com) == 0) {
      engine.Connect();
      r.bootCode = engine.boot_result();
      r.bootCause = engine.channel().cause();
      r.result = engine.Download();
      if (r.result == 0) {
        r.downloadCode = engine.channel().failure_code();
        r.downloadCause = engine.channel().cause();
      }
    }
  }
  r.log = ::testing::internal::GetCapturedStdout();
  return r;
}

void PowerOnFromStateFile(Rig& rig, const std::string& state_path) {
  std::string err;
  if (!rig.flash().Save(state_path, &err)) throw std::runtime_error(err);
  auto flash = sim::Flash::FromFile(state_path, &err);
  if (!flash) throw std::runtime_error(err);
  rig.set_flash(flash);
}

namespace {
// The info area of the package's FS image `image`, in blocks [first, end).
std::pair<uint32_t, uint32_t> InfoArea(const sim::Flash& flash, const pkg::BuiltPackage& p, size_t image) {
  std::string err;
  auto v = flashcheck::ParseFsImage(p.fsImages.at(image), &err);
  if (!v) throw std::runtime_error("FS image: " + err);
  const uint32_t bm = flash.geometry().blockMainBytes();
  return {v->infoAreaStart() / bm, (v->infoAreaStart() + v->infoAreaLength()) / bm};
}

std::vector<uint32_t> InfoBlocks(const sim::Flash& flash, const pkg::BuiltPackage& p, size_t image) {
  const sim::Geometry& g = flash.geometry();
  auto [first, end] = InfoArea(flash, p, image);
  std::vector<uint32_t> found;
  for (uint32_t b = first; b < end && b < g.blockCount; ++b) {
    sim::Bytes raw = flash.ReadBlock(b);
    if (!flashcheck::IsMarkedBad(raw.data(), g.pageSize, g.spareSize) &&
        flashcheck::HasInfoMarker(raw.data(), g.pageSize))
      found.push_back(b);
  }
  return found;
}
}  // namespace

unsigned InfoBlocksInArea(const sim::Flash& flash, const pkg::BuiltPackage& p, size_t image) {
  return static_cast<unsigned>(InfoBlocks(flash, p, image).size());
}

std::optional<std::vector<uint8_t>> TheInfoBlock(const sim::Flash& flash, const pkg::BuiltPackage& p,
                                                 size_t image) {
  auto found = InfoBlocks(flash, p, image);
  if (found.size() != 1) return std::nullopt;
  const sim::Geometry& g = flash.geometry();
  sim::Bytes raw = flash.ReadBlock(found[0]);
  std::vector<uint8_t> main;
  for (uint32_t page = 0; page < g.pagesPerBlock; ++page) {
    auto from = raw.begin() + size_t{page} * g.pageRawBytes();
    main.insert(main.end(), from, from + g.pageSize);
  }
  return main;
}

}  // namespace vantrel::testing
