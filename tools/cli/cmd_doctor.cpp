// `vantrel doctor`: checks what breaks flashing on Linux, each check with a
// verdict and, when it fails, the remedy.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "images/package.h"
#include "ports/port_scan.h"
#include "platform/serial_port.h"
#include "tools/cli/commands.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/installed.h"
#include "tools/cli/port_check.h"
#include "tools/pkg/blockers.h"
#include "tools/pkg/paths.h"

namespace vantrel::cli {
namespace {

namespace fs = std::filesystem;

struct Verdicts {
  int worst = kExitOk;
  void Say(const char* verdict, const std::string& what, const std::string& remedy = "") {
    std::printf("%-5s %s\n", verdict, what.c_str());
    if (!remedy.empty()) std::printf("      -> %s\n", remedy.c_str());
  }
  void Ok(const std::string& what) { Say("ok", what); }
  void Warn(const std::string& what, const std::string& remedy) { Say("warn", what, remedy); }
  void Fail(const std::string& what, const std::string& remedy, ExitCode cls) {
    Say("FAIL", what, remedy);
    if (worst == kExitOk) worst = cls;
  }
};

bool ProcessRunning(const std::string& name) {
  std::error_code ec;
  for (const auto& p : fs::directory_iterator("/proc", ec)) {
    std::ifstream comm(p.path() / "comm");
    std::string n;
    if (comm && std::getline(comm, n) && n == name) return true;
  }
  return false;
}

// udev reads rules from these; a rule elsewhere (an install's prefix) does not apply.
bool UdevReads(const std::string& path) {
  for (const char* dir : {"/etc/udev/rules.d/", "/usr/lib/udev/rules.d/", "/lib/udev/rules.d/"})
    if (path.rfind(dir, 0) == 0) return true;
  return false;
}

std::string GroupName(gid_t g) {
  struct group* gr = ::getgrgid(g);
  return gr ? gr->gr_name : std::to_string(g);
}

void CheckPortDirectory(Verdicts& v) {
  const std::string dir = platform::PortDirectory();
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    v.Warn("port directory " + dir + " does not exist: COMn names cannot be used (tty paths still work)",
           "uncomment the SYMLINK line of " + RuleHint("71-vantrel-access.rules") +
               " for your USB socket, or set VANTREL_PORT_DIR");
    return;
  }
  int links = 0;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.path().filename().string().rfind("COM", 0) != 0) continue;
    ++links;
    if (!fs::exists(e.path(), ec)) v.Ok(e.path().string() + ": dangling (no phone plugged in there)");
    else v.Ok(e.path().string() + " -> " + fs::read_symlink(e.path(), ec).string());
  }
  if (links == 0) v.Ok("port directory " + dir + ": no COM links now (they appear while a phone is plugged in)");
}

void CheckTtys(Verdicts& v, const std::vector<std::string>& extra) {
  std::vector<std::string> ttys = extra;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/dev", ec)) {
    const std::string n = e.path().filename().string();
    if (n.rfind("ttyACM", 0) == 0 || n.rfind("ttyUSB", 0) == 0) ttys.push_back(e.path().string());
  }
  if (ttys.empty()) {
    v.Ok("no USB serial port now (/dev/ttyACM*, /dev/ttyUSB*): connect the phone to check its access");
    return;
  }
  for (const auto& t : ttys) {
    PortCheck c = CheckPort(t);
    struct stat st{};
    ::stat(t.c_str(), &st);
    if (c.problem == PortProblem::kNone) {
      v.Ok(t + ": this user may open it (group " + GroupName(st.st_gid) + ")");
    } else {
      v.Fail(c.message.substr(0, c.message.find(';')), c.message.substr(c.message.find(';') + 2), kExitPort);
    }
  }
}

void CheckPortScan(Verdicts& v) {
  std::vector<SSerInfo> phones;
  try {
    EnumeratePorts(phones, false, false, true);
  } catch (const std::exception& e) {
    v.Warn(std::string("the port scan failed: ") + e.what(), "check that udev is running");
    return;
  }
  if (phones.empty()) {
    v.Warn("the port scan finds no phone port now",
           "connect the phone in download mode; if it still does not show, add its USB IDs to " +
               RuleHint("70-vantrel.rules"));
  }
  for (const auto& p : phones) v.Ok("phone port " + p.portName + " " + p.devicePath + " (" + p.friendlyName + ")");
}

// True when udev applies the access rule.
bool CheckRule(Verdicts& v) {
  const std::string rule = InstalledRule("71-vantrel-access.rules");
  if (rule.empty()) {
    v.Warn("the udev rule 71-vantrel-access.rules is not installed",
           "install vantrel (`cmake --install` or the Debian package), copy the rule to /etc/udev/rules.d, then "
           "`sudo udevadm control --reload`");
    return false;
  }
  if (!UdevReads(rule)) {
    v.Warn("the udev rule " + rule + " is installed where udev does not read it",
           "`sudo cp " + rule + " " + InstalledRule("70-vantrel.rules") +
               " /etc/udev/rules.d/ && sudo udevadm control --reload`");
    return false;
  }
  v.Ok("udev rule installed: " + rule);
  return true;
}

void CheckModemManager(Verdicts& v, bool rule_applies) {
  if (!ProcessRunning("ModemManager")) {
    v.Ok("ModemManager is not running");
  } else if (rule_applies) {
    v.Ok("ModemManager is running; the udev rule tells it to keep away from the phone");
  } else {
    v.Fail("ModemManager is running and no rule tells it to ignore the phone: it probes and holds the port",
           "install 71-vantrel-access.rules (it sets ID_MM_DEVICE_IGNORE on the ports 70-vantrel.rules names), or "
           "`sudo systemctl stop ModemManager`",
           kExitPort);
  }
}

void CheckPackage(Verdicts& v, const std::string& package) {
  ImageDesc bl, ebl, rom, rom2, fsi[kFsSlotCount];
  std::string why;
  const std::string remedy = "check it with `vantrel pkg info " + package + "`";
  if (!pkg::CheckPackageFileKind(package, &why)) {
    v.Fail("package " + package + ": " + why, remedy, kExitPackage);
    return;
  }
  if (!LoadFirmwarePackage(package, &bl, &ebl, &rom, &rom2, fsi, &why)) {
    v.Fail("package " + package + ": " + why, remedy, kExitPackage);
    return;
  }
  const auto blockers = pkg::DownloadBlockers(PackageImageStore());
  if (blockers.empty()) v.Ok("package " + package + " loads");
  else v.Fail("package " + package + ": " + blockers.front().text, remedy, kExitPackage);
}

}  // namespace

void RegisterDoctorCommand(CLI::App& app) {
  struct Args {
    std::string package;
    std::vector<std::string> ports;
  };
  auto a = std::make_shared<Args>();
  auto* cmd = app.add_subcommand("doctor", "Check this machine for what breaks flashing, with remedies");
  cmd->footer("\n" + ExitCodeHelp({{kExitOk, "nothing found that breaks flashing (warnings may be printed)"},
                                    {kExitUsage, "a bad argument"},
                                    {kExitPackage, "the package given does not load"},
                                    {kExitPort, "a port cannot be opened, or ModemManager would hold it"}}));
  cmd->add_option("--package", a->package, "Also check this firmware package")->type_name("FILE");
  cmd->add_option("--port", a->ports, "Also check this port")->type_name("PORT");
  cmd->callback([a] {
    Verdicts v;
    CheckPortDirectory(v);
    CheckTtys(v, a->ports);
    CheckPortScan(v);
    CheckModemManager(v, CheckRule(v));
    if (!a->package.empty()) CheckPackage(v, a->package);
    if (v.worst != kExitOk) throw CLI::RuntimeError(v.worst);
  });
}

}  // namespace vantrel::cli
