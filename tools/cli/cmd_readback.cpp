// vantrel readback: a copy of what is on the phone's flash. The bytes go to a
// file as they arrive (never the whole range in memory), beside it a small
// JSON sidecar; a read that fails leaves nothing under the final name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tools/cli/commands.h"
#include "tools/pkg/digest.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/flash_run.h"
#include "tools/cli/interrupt.h"
#include "tools/cli/layout.h"
#include "tools/cli/output_file.h"
#include "tools/cli/plan_command.h"
#include "vantrel/codes.h"

namespace vantrel::cli {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kReadAlign = 2048;

struct ReadbackOptions {
  std::string out;
  std::string range;  // "START:LENGTH"
  bool fs_region = false, through_fs = false, spare = false, force = false;
  // Resolved before any port is touched.
  int32_t span = VANTREL_SPAN_GIVEN;
  uint32_t start = 0, length = 0;
  std::vector<std::string> outputs;  // per phone
};

// A refusal before any phone is touched, said as flash says its own (on
// standard error, and in --json's result object).
[[noreturn]] void Refuse(ExitCode code, const std::string& message) {
  SetCommandName("readback");
  FailFlash(code, message);
}

uint64_t ParseNumber(const std::string& text, const char* what) {
  try {
    size_t used = 0;
    const unsigned long long v = std::stoull(text, &used, 0);
    if (used == text.size() && text[0] != '-') return v;
  } catch (const std::exception&) {
  }
  Refuse(kExitUsage, std::string("--range: ") + what + " \"" + text + "\" is not a number (decimal, or hex with 0x)");
}

void ParseRange(ReadbackOptions& o) {
  const size_t colon = o.range.find(':');
  if (colon == std::string::npos) Refuse(kExitUsage, "--range takes START:LENGTH, e.g. 0x1800000:0x380000");
  const uint64_t start = ParseNumber(o.range.substr(0, colon), "start");
  const uint64_t length = ParseNumber(o.range.substr(colon + 1), "length");
  if (start % kReadAlign || length % kReadAlign || length == 0 || start + length > (1ull << 32))
    Refuse(kExitUsage, "--range " + o.range + ": start and length are multiples of 2048 (0x800), the length not 0, "
                       "and the range ends by 4 GiB");
  o.start = static_cast<uint32_t>(start);
  o.length = static_cast<uint32_t>(length);
}

// One phone's output: its folder, the file and its sidecar, and the
// temporary file the read goes into, which is created and removed here so
// that a place that takes no file (/proc, a folder) is refused up front.
void CheckOutput(const std::string& path, bool force) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) Refuse(kExitUsage, "--out " + path + " is a folder; give a file name");
  if (const std::string p = OutputFileProblem(path, "", false); !p.empty()) Refuse(kExitUsage, "--out " + p);
  for (const std::string& file : {path, path + ".json"})
    if (fs::exists(file, ec) && !force)
      Refuse(kExitUsage, "--out: " + file + " exists; give --force to replace it, or another name");
  const std::string temp = path + ".partial";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Refuse(kExitUsage, "--out " + path + ": cannot write " + temp + ": " + std::strerror(errno));
  ::close(fd);
  ::unlink(temp.c_str());
}

// Refuses, before a port is opened, what cannot be read or written.
void CheckOutputs(ReadbackOptions& o, size_t phones) {
  const int spans = !o.range.empty() + o.fs_region + o.through_fs;
  if (spans != 1) Refuse(kExitUsage, "give what to read: one of --range START:LENGTH, --fs-region, --through-fs");
  if (!o.range.empty()) ParseRange(o);
  o.span = o.fs_region ? VANTREL_SPAN_FS_REGION : o.through_fs ? VANTREL_SPAN_THROUGH_FS : VANTREL_SPAN_GIVEN;
  o.outputs.clear();
  for (size_t k = 0; k < phones; ++k) {
    const std::string path = phones > 1 ? o.out + "." + std::to_string(k + 1) : o.out;
    CheckOutput(path, o.force);
    o.outputs.push_back(path);
  }
}

// One phone's read: into a temporary file beside the final one, renamed
// once the read and the file are complete.
struct Output {
  std::string temp;
  std::FILE* file = nullptr;
  uint64_t bytes = 0;
  bool failed = false;
  int error = 0;  // errno of the write that failed
  static int32_t Take(void* user, const uint8_t* data, uint32_t n) {
    auto* o = static_cast<Output*>(user);
    if (std::fwrite(data, 1, n, o->file) != n) {
      o->failed = true;
      o->error = errno;
    }
    o->bytes += n;
    return o->failed ? 0 : 1;
  }
};

bool Publish(Output& out, const std::string& path, std::string* why) {
  const bool ok = std::fflush(out.file) == 0 && ::fsync(::fileno(out.file)) == 0 && !out.failed;
  if (!ok) *why = std::string("cannot write ") + out.temp + ": " + std::strerror(errno);
  std::fclose(out.file);
  out.file = nullptr;
  if (ok && std::rename(out.temp.c_str(), path.c_str()) != 0) {
    *why = "cannot rename " + out.temp + " to " + path + ": " + std::strerror(errno);
    return false;
  }
  return ok;
}

// False with the reason when the sidecar could not be written whole.
bool WriteSidecar(const std::string& path, const ReadbackOptions& o, const VantrelReadRange& range, uint64_t bytes,
                  double seconds, const std::string& label, std::string* why) {
  std::string sha, err;
  pkg::FileSha256(path, &sha, &err);
  nlohmann::json j{{"port", label},
                   {"start", range.start},
                   {"length", range.length},
                   {"mode", o.spare ? "main+spare" : "main"},
                   {"page_size", range.page_size},
                   // A read of main data may get an answer without the spare
                   // size: unknown, not none.
                   {"spare_size", o.spare || range.spare_size ? nlohmann::json(range.spare_size) : nullptr},
                   {"bytes", bytes},
                   {"sha256", sha},
                   {"seconds", seconds}};
  const std::string side = path + ".json";
  std::ofstream f(side, std::ios::trunc);
  f << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  f.close();
  if (f) return true;
  *why = "cannot write " + side + ": " + std::strerror(errno);
  return false;
}

bool ReadOne(ReadbackOptions& o, PluginHost& host, size_t k, const std::string& label, CInterfaceTemplate* s,
             std::string* done) {
  const std::string& path = o.outputs.at(k);
  Output out;
  out.temp = path + ".partial";
  out.file = std::fopen(out.temp.c_str(), "wb");
  // A file that cannot be written stops the run before the phone is read;
  // the phone stays in download mode, as after any failed plan.
  const std::string stays = "; nothing was read; the phone is waiting in download mode: unplug it";
  if (!out.file) {
    *done = "cannot write " + out.temp + ": " + std::strerror(errno) + stays;
    return false;
  }
  interrupt::AddCleanupPath(out.temp);
  VantrelReadRange range{o.start, o.length, 0, 0};
  const auto t0 = std::chrono::steady_clock::now();
  const bool read = host.ReadSpan(s, o.span, o.spare ? VANTREL_READ_MAIN_AND_SPARE : VANTREL_READ_MAIN,
                                  &Output::Take, &out, &range);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::string why;
  if (out.failed) why = "cannot write " + out.temp + ": " + std::strerror(out.error) + "; the read was stopped";
  if (!read || !Publish(out, path, &why)) {
    if (out.file) std::fclose(out.file);
    std::remove(out.temp.c_str());
    *done = why;  // empty when the phone's side failed: the session says why
    return false;
  }
  if (!WriteSidecar(path, o, range, out.bytes, seconds, label, &why)) {
    *done = "read " + path + ", but " + why;
    return false;
  }
  *done = Printf("read 0x%08X + 0x%X (%llu bytes) to ", range.start, range.length,
                 static_cast<unsigned long long>(out.bytes)) +
          path + "; the phone resets";
  return true;
}

// A span on a flash without a ROM record (blank or erased): the request
// cannot be served, as a range past the flash cannot; the flash is not at fault.
bool NoRegionToRead(const ReadbackOptions& o, const Failure& f, Ending* e) {
  if (f.code != kRomInfoNotOnFlash || o.span == VANTREL_SPAN_GIVEN) return false;
  *e = {kExitUsage, std::to_string(f.code) + " " + ResultName(f.code) +
                        ": the phone's flash holds no ROM information record (blank or erased), so it has no FS "
                        "region to read: give the range with --range instead; " + kWaitsInDownloadMode};
  return true;
}

}  // namespace

void RegisterReadbackCommand(CLI::App& app) {
  auto o = std::make_shared<ReadbackOptions>();
  auto plan = std::make_shared<PlanCommand>();
  plan->name = "readback";
  plan->done = "read back";
  plan->check = [o](size_t phones) { CheckOutputs(*o, phones); };
  plan->run = [o](PluginHost& host, size_t k, const std::string& label, CInterfaceTemplate* s, std::string* done) {
    return ReadOne(*o, host, k, label, s, done);
  };
  plan->ending = [o](const Failure& f, Ending* e) { return NoRegionToRead(*o, f, e); };
  auto* cmd = AddPlanCommand(app,
                             "Read the phone's flash into a file (with a JSON sidecar: range, mode, geometry, "
                             "SHA-256, time). Nothing is written to the phone",
                             plan);
  cmd->add_option("--out", o->out, "The file to write (FILE.1, FILE.2, ... in --port order for several phones)")
      ->required()
      ->type_name("FILE");
  cmd->add_option("--range", o->range, "START:LENGTH in bytes of main data, multiples of 2048 (0x800)");
  cmd->add_flag("--fs-region", o->fs_region, "The FS region, where the flash's ROM record puts it");
  cmd->add_flag("--through-fs", o->through_fs, "Everything from address 0 to the end of the FS region");
  cmd->add_flag("--spare", o->spare, "Each page's main data followed by its spare bytes");
  cmd->add_flag("--force", o->force, "Replace a file that exists");
}

}  // namespace vantrel::cli
