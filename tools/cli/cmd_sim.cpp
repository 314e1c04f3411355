// `vantrel sim`: runs the simulated phone in this process. It prints the
// slave pty path as its first line on standard output, optionally links it
// into the port directory (at once or after a delay, like a phone being
// plugged in), serves until the host ends the dialogue, the phone fails on
// purpose, or SIGINT, then saves the flash state and reports on stderr.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "sim/check/flash_check.h"
#include "sim/phone.h"
#include "tools/cli/commands.h"
#include "tools/cli/output_file.h"
#include "tools/cli/sim_state.h"
#include "tools/cli/usage.h"

namespace vantrel::cli {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;
void OnInterrupt(int) { gInterrupted = 1; }

struct SimOptions {
  sim::PhoneConfig cfg;
  unsigned pageSize = 2048;
  unsigned sizeMiB = 256;
  std::string state;
  std::string portDir;
  int com = -1;
  unsigned delayMs = 0;
  std::string badBlocks, failingBlocks, weakBlocks;
  std::string echoMismatch, silenceAt, hangupAt;
  unsigned garbage = 0;
  unsigned chipType = 0x14;
  std::vector<unsigned> daVersion{0x03, 0x02};
  bool bootRomAfterReset = false;
  bool summary = false;
  bool geometryGiven = false;
};

// "5,9,100-103" -> the block numbers; false on anything else.
bool ParseBlockList(const std::string& text, std::vector<uint32_t>* out) {
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    if (item.empty()) continue;
    size_t dash = item.find('-');
    try {
      unsigned long a = std::stoul(item.substr(0, dash));
      unsigned long b = dash == std::string::npos ? a : std::stoul(item.substr(dash + 1));
      if (b < a || b - a > 1000000 || b > UINT32_MAX) return false;
      for (unsigned long v = a; v <= b; ++v) out->push_back(static_cast<uint32_t>(v));
    } catch (const std::exception&) {
      return false;
    }
  }
  return true;
}

bool SetPoint(const std::string& text, sim::FaultPoint* p) {
  if (text.empty()) return true;
  auto parsed = sim::FaultPoint::Parse(text);
  if (!parsed) {
    std::fprintf(stderr, "vantrel sim: bad fault point \"%s\" (e.g. agent:0xBD#2)\n", text.c_str());
    return false;
  }
  *p = *parsed;
  return true;
}

void PrintRecord(const sim::PhoneRecord& r) {
  std::fprintf(stderr, "phone ended: %s\n", r.endReason.c_str());
  std::fprintf(stderr, "boot ROM: %u handshake(s), %zu register write(s), %zu load(s)\n", r.handshakes,
               r.registerWrites.size(), r.daLoads.size());
  for (const auto& l : r.daLoads) std::fprintf(stderr, "  load 0x%08X, %u words\n", l.address, l.words);
  if (r.agentStarted) {
    std::fprintf(stderr, "agent: %s, table A %zu/%u records, table B %zu/%u records\n",
                 r.connected ? "connected" : "not connected", r.tableA.size() / 36, r.tableACount,
                 r.tableB.size() / 52, r.tableBCount);
  }
  if (r.bootloader.received) {
    std::fprintf(stderr, "bootloader: %u + %u bytes, checksums %s, seed from %s\n", r.bootloader.length,
                 r.bootloader.extLength,
                 r.bootloader.checksumOk && r.bootloader.extChecksumOk ? "ok" : "WRONG",
                 r.bootloader.seedSource.c_str());
  }
  for (const auto& n : r.nfbImages) {
    std::fprintf(stderr, "NFB image: %u bytes at 0x%llX, %s\n", n.length,
                 static_cast<unsigned long long>(n.flashAddress), n.stored ? "stored" : "not stored");
  }
  std::fprintf(stderr, "block writes %u, page writes %u, refused %zu, reads %zu, formats %zu, flash ops %llu\n",
               r.blockWrites, r.pageWrites, r.refusedBlocks.size(), r.reads.size(), r.formats.size(),
               static_cast<unsigned long long>(r.flashOps));
  for (const auto& f : r.faults) std::fprintf(stderr, "fault: %s\n", f.c_str());
  for (const auto& p : r.problems) std::fprintf(stderr, "problem: %s\n", p.c_str());
}

// One fault's block list, parsed and checked against the flash the phone has.
std::vector<uint32_t> FaultBlocks(const char* option, const std::string& text, const sim::Flash& flash) {
  std::vector<uint32_t> blocks;
  if (!ParseBlockList(text, &blocks)) throw CLI::ValidationError(option, "not a block list");
  if (std::string why = BlocksOutside(option, blocks, flash.geometry().blockCount); !why.empty()) {
    std::fprintf(stderr, "vantrel sim: %s\n", why.c_str());
    throw CLI::RuntimeError(kExitUsage);
  }
  return blocks;
}

void RunSim(SimOptions& o, bool geometry_given) {
  o.geometryGiven = geometry_given;
  std::string err;
  if (!o.cfg.transcriptPath.empty())
    if (const std::string p = OutputFileProblem(o.cfg.transcriptPath, ""); !p.empty()) {
      std::fprintf(stderr, "vantrel sim: --transcript %s\n", p.c_str());
      throw CLI::RuntimeError(kExitUsage);
    }
  ExitCode cls = kExitPackage;
  std::shared_ptr<sim::Flash> flash =
      OpenStateFile(o.state, o.pageSize, o.geometryGiven, uint64_t{o.sizeMiB} << 20, &err, &cls);
  if (!flash) {
    std::fprintf(stderr, "vantrel sim: %s\n", err.c_str());
    throw CLI::RuntimeError(cls);
  }
  const std::vector<uint32_t> bad = FaultBlocks("--bad-blocks", o.badBlocks, *flash);
  const std::vector<uint32_t> failing = FaultBlocks("--failing-blocks", o.failingBlocks, *flash);
  o.cfg.faults.weakBlocks = FaultBlocks("--weak-blocks", o.weakBlocks, *flash);
  for (uint32_t b : bad) flash->MarkFactoryBad(b);
  for (uint32_t b : failing) flash->SetFailing(b);
  if (!SetPoint(o.echoMismatch, &o.cfg.faults.echoMismatch) || !SetPoint(o.silenceAt, &o.cfg.faults.silenceAt) ||
      !SetPoint(o.hangupAt, &o.cfg.faults.hangupAt)) {
    throw CLI::RuntimeError(2);
  }
  for (unsigned i = 0; i < o.garbage; ++i) o.cfg.faults.garbageBeforeC0.push_back(static_cast<uint8_t>(0x31 * i + 7));
  if (o.chipType > 0xFF || o.daVersion.size() != 2 || o.daVersion[0] > 0xFF || o.daVersion[1] > 0xFF) {
    throw CLI::ValidationError("--chip-type/--da-version", "bytes are 0..255");
  }
  o.cfg.chipType = static_cast<uint8_t>(o.chipType);
  o.cfg.daVersion = {static_cast<uint8_t>(o.daVersion[0]), static_cast<uint8_t>(o.daVersion[1])};
  if (o.bootRomAfterReset) o.cfg.afterReset = sim::AfterReset::kBootRom;

  sim::Phone phone(o.cfg, flash);
  if (!phone.Open(&err)) {
    std::fprintf(stderr, "vantrel sim: %s\n", err.c_str());
    throw CLI::RuntimeError(1);
  }
  std::printf("%s\n", phone.SlavePath().c_str());
  std::fflush(stdout);
  if (!o.portDir.empty() || o.com >= 0) {
    unsigned com = o.com >= 0 ? static_cast<unsigned>(o.com) : 40;
    if (!phone.LinkPort(o.portDir, com, o.delayMs, &err)) {
      std::fprintf(stderr, "vantrel sim: %s\n", err.c_str());
      throw CLI::RuntimeError(1);
    }
  }
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  phone.Start();
  while (!gInterrupted && !phone.WaitEnded(std::chrono::milliseconds(100))) {
  }
  phone.Stop();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  PrintRecord(phone.Record());
  if (!o.state.empty()) {
    if (!flash->Save(o.state, &err)) {
      std::fprintf(stderr, "vantrel sim: %s\n", err.c_str());
      throw CLI::RuntimeError(1);
    }
    std::fprintf(stderr, "flash state saved to %s\n", o.state.c_str());
  }
  if (o.summary) std::fprintf(stderr, "%s", flashcheck::SummariseFlash(*flash).c_str());
}

}  // namespace

void RegisterSimCommand(CLI::App& app) {
  auto o = std::make_shared<SimOptions>();
  auto* cmd = app.add_subcommand("sim", "Run the simulated phone on a pseudo-terminal");
  cmd->footer("\n" + ExitCodeHelp({{kExitOk, "the phone served until the host ended, or Ctrl-C"},
                                    {kExitFailure, "the phone could not start, or its state could not be saved"},
                                    {kExitUsage, "a bad argument"},
                                    {kExitPackage, "the state file is not one the simulator saved"}}));
  auto& f = o->cfg.faults;
  auto* geometry = cmd->add_option("--geometry", o->pageSize, "Page size of a new flash: 512 (16 KiB blocks) or 2048 (128 KiB)")
      ->check(OneOf({512, 2048}))
      ->type_name("512|2048");
  cmd->add_option("--size-mib", o->sizeMiB, "Main data of a new flash in MiB")->transform(WholeNumber("a size in MiB", 16, 4096));
  cmd->add_option("--state", o->state, "Flash state file: loaded when present, saved at the end")->type_name("FILE");
  cmd->add_option("--port-dir", o->portDir, "Port directory for the COM<n> link (default $VANTREL_PORT_DIR or /dev/vantrel)")
      ->type_name("DIR");
  cmd->add_option("--com", o->com, "COM number of the link (default 40 when --port-dir is given)")
      ->transform(WholeNumber("a COM number", 1, 255));
  cmd->add_option("--delay-ms", o->delayMs, "Create the link only after this many ms (the phone is plugged in)")
      ->transform(WholeNumber("milliseconds", 0));
  cmd->add_option("--chip-type", o->chipType, "Chip type the agent reports (default 0x14)")
      ->transform(WholeNumber("a chip type byte", 0, 255));
  cmd->add_option("--table-a-stop", o->cfg.tableAStopAfter, "Answer 0x5A to flash table A record k")
      ->transform(WholeNumber("a record number", 0));
  // A callback rather than a negated flag, whose default help shows as "{false}".
  cmd->add_flag_callback("--no-table-b", [o] { o->cfg.wantTableB = false; }, "Do not ask for flash table B");
  cmd->add_option("--scan-delay-ms", o->cfg.scanDelayMs, "Time the agent takes to scan the flash")
      ->transform(WholeNumber("milliseconds", 0));
  cmd->add_option("--busy-polls", o->cfg.powerKeyBusyPolls, "Power-key busy reads after each trigger")
      ->transform(WholeNumber("a number of reads", 0));
  cmd->add_flag("--latched", o->cfg.powerKeyLatched, "Power key starts latched");
  cmd->add_option("--shared-length", o->cfg.sharedDataLength, "Length of each shared-data item")
      ->transform(WholeNumber("a length in bytes", 0));
  cmd->add_flag("--boot-rom-after-reset", o->bootRomAfterReset, "After 0xDB, come back in boot ROM mode");
  cmd->add_option("--rate", o->cfg.linkBytesPerSecond, "Emulated link rate in bytes/s (e.g. 1000000; 0 = full speed)")
      ->check(Number("bytes per second", 0));
  cmd->add_option("--latency-us", o->cfg.turnaroundUs, "Emulated turnaround latency in microseconds")
      ->transform(WholeNumber("microseconds", 0, 10'000'000));
  cmd->add_option("--transcript", o->cfg.transcriptPath, "Hex transcript file of both directions")->type_name("FILE");
  cmd->add_flag("--transcript-full", o->cfg.transcriptFullData, "Do not abbreviate long data in the transcript");
  cmd->add_flag("--summary", o->summary, "Print a summary of the flash contents at the end");
  cmd->add_option("--bad-blocks", o->badBlocks, "Factory-bad blocks, e.g. 5,9,100-103");
  cmd->add_option("--failing-blocks", o->failingBlocks, "Blocks whose writes the agent refuses (3041)");
  cmd->add_option("--weak-blocks", o->weakBlocks, "Blocks that take writes but read back with a bit flipped per page");
  cmd->add_option("--wrong-complement", f.wrongComplementAt, "Answer handshake byte 0..3 wrongly once")
      ->transform(WholeNumber("a handshake byte's index", 0, 3));
  cmd->add_option("--echo-mismatch", o->echoMismatch, "Corrupt the echo of a boot ROM command, e.g. brom:0xA2#2");
  cmd->add_option("--silence-at", o->silenceAt, "Stop answering at a point, e.g. agent:0xBD#3");
  cmd->add_option("--hangup-at", o->hangupAt, "Close the port at a point, e.g. agent:packet#10");
  cmd->add_option("--wrong-checksum", f.wrongChecksumAtLoad, "Answer the n-th 0xA4 with a wrong checksum")
      ->transform(WholeNumber("a count", 0));
  cmd->add_option("--garbage", o->garbage, "Bytes of garbage before the agent's 0xC0")
      ->transform(WholeNumber("a number of bytes", 0, 4096));
  cmd->add_option("--da-version", o->daVersion, "The agent's two version bytes (default 3 2)")
      ->expected(2)
      ->transform(WholeNumber("version bytes", 0, 255));
  cmd->add_option("--corrupt-reads", f.corruptReadPackets, "Corrupt the first n flash-read packets")
      ->transform(WholeNumber("a count", 0));
  cmd->add_option("--resend-writes", f.resendWritePackets, "Ask for the first n block/page packets again")
      ->transform(WholeNumber("a count", 0));
  cmd->add_option("--stop-answer-at", f.stopAnswerAtPacket, "Answer the n-th block/page packet with 0x96")
      ->transform(WholeNumber("a count", 0));
  cmd->add_option("--wrong-block-checksum", f.wrongBlockChecksumAt, "Return a wrong XOR for the n-th 0xBD")
      ->transform(WholeNumber("a count", 0));
  cmd->add_option("--power-cut-after", f.powerCutAfterOps, "Lose power after the k-th erase/program operation")
      ->transform(WholeNumber("a number of flash operations", 0));
  cmd->callback([o, geometry] { RunSim(*o, geometry->count() > 0); });
}

}  // namespace vantrel::cli
