// The CLI's core without a process: how a failure is classed and told, what
// the port check makes of real paths, and how the station's lines are laid
// out for a terminal's width.
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/cli/app.h"
#include "tools/cli/completion.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/json_out.h"
#include "tools/cli/layout.h"
#include "tools/cli/outcome.h"
#include "tools/cli/port_check.h"
#include "tools/cli/port_loop.h"
#include "tools/cli/usage.h"
#include "vantrel/codes.h"
#include "vantrel/extension.h"

namespace vantrel::cli {
namespace {

namespace fs = std::filesystem;

TEST(ExitClass, TheLinksCauseDecidesWhateverCodeTheStepChose) {
  struct Case {
    int code, cause;
    bool gone;
    ExitCode cls;
  };
  const Case cases[] = {
      {kFsLayoutMismatch, VANTREL_CAUSE_PORT_GONE, false, kExitConnectionLost},  // not a layout problem
      {kWriteFailed, VANTREL_CAUSE_NO_ANSWER, false, kExitConnectionLost},       // went silent mid-download
      {kBootStartFailed, VANTREL_CAUSE_NO_ANSWER, false, kExitNoAnswer},         // never came up
      {kAgentConnectFailed, VANTREL_CAUSE_NO_ANSWER, false, kExitNoAnswer},
      {kWriteFailed, VANTREL_CAUSE_WRITE_FAILED, false, kExitConnectionLost},
      {kWriteFailed, VANTREL_CAUSE_READ_FAILED, false, kExitConnectionLost},
      {kBadBlock, VANTREL_CAUSE_REFUSED, false, kExitFlash},  // the phone answered and refused
      {kWrongFlashGeometry, VANTREL_CAUSE_NONE, false, kExitPackage},
      {kBloaderInfoMissing, VANTREL_CAUSE_NONE, false, kExitPackage},
      {kWriteFailed, kCauseUnknown, true, kExitConnectionLost},  // an older library: the node tells
      {kWriteFailed, kCauseUnknown, false, kExitFlash},
      {kBootStartFailed, kCauseUnknown, false, kExitNoAnswer},
      {kCancelled, VANTREL_CAUSE_NONE, false, kExitInterrupted},
      {kReadOutOfRange, VANTREL_CAUSE_REFUSED, false, kExitUsage},  // the range asked for, not the flash
      {kSetTimeoutsFailed, VANTREL_CAUSE_NONE, false, kExitPort},  // the port's set-up, not the flash
      {99999, VANTREL_CAUSE_REFUSED, false, kExitFlash},           // a code not in the list
      {0, VANTREL_CAUSE_NONE, false, kExitOk},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ClassifyResult(c.code, c.cause, c.gone), c.cls) << c.code << " cause " << c.cause;
}

TEST(ExitClass, AFailedDownloadSaysWhatHappenedAndWhatToDo) {
  const Failure silent{kWriteFailed, "FS image 2: data block 4", VANTREL_CAUSE_NO_ANSWER, 30000};
  Ending e = FailedDownload(silent, Stage::kImage, "FS image 2", false, false);
  EXPECT_EQ(e.cls, kExitConnectionLost);
  EXPECT_EQ(e.message,
            "the phone stopped answering during FS image 2 (no byte for 30 s): 4008 WriteFailed (FS image 2: data "
            "block 4); check the cable and the phone's battery, then flash it again");
  // A library that records no code: the stage tells.
  EXPECT_EQ(FailedDownload(Failure{}, Stage::kImage, "ROM image", false, false).cls, kExitFlash);
  EXPECT_EQ(FailedDownload(Failure{}, Stage::kAgent, "agent connection", false, false).cls, kExitNoAnswer);
  EXPECT_EQ(FailedDownload(Failure{}, Stage::kImage, "ROM image", true, false).cls, kExitConnectionLost);
  // A plan that only reads never sends the user to flash: a blank phone has
  // no ROM record, which says nothing about a package.
  e = FailedDownload(Failure{kRomInfoNotOnFlash, "", VANTREL_CAUSE_NONE, 0}, Stage::kAgent, "flash scan", false,
                     false, /*writes=*/false);
  EXPECT_EQ(e.message.find("package"), std::string::npos) << e.message;
  EXPECT_NE(e.message.find("nothing was written"), std::string::npos) << e.message;
  EXPECT_NE(FailedDownload(silent, Stage::kReading, "reading", false, false, false).message.find("run the command "
                                                                                                  "again"),
            std::string::npos);
  e = FailedDownload(Failure{kReadOutOfRange, "", VANTREL_CAUSE_REFUSED, 0}, Stage::kReading, "reading", false,
                     false, false);
  EXPECT_EQ(e.message.find("service"), std::string::npos) << e.message;
  e = FailedBootRom(Failure{kBootStartFailed, "no answer to the start sequence", VANTREL_CAUSE_REFUSED, 0}, false);
  EXPECT_EQ(e.cls, kExitNoAnswer);
  EXPECT_EQ(e.message.rfind("boot ROM stage failed: 2005 BootStartFailed (no answer to the start sequence); power", 0),
            0u)
      << e.message;
}

// The same words whether the session ended by itself or was cut off.
TEST(ExitClass, AnInterruptedPhoneIsToldByTheStageItWasIn) {
  EXPECT_EQ(Interrupted(Stage::kWaiting, "waiting for the port").message,
            "interrupted while waiting for the port; nothing was written");
  EXPECT_EQ(Interrupted(Stage::kBootRom, "boot ROM stage").message,
            "interrupted during the boot ROM stage; nothing was written to the flash: flash it again");
  EXPECT_EQ(Interrupted(Stage::kImage, "FS image 2").message, "interrupted while writing FS image 2: flash it again");
  EXPECT_EQ(Interrupted(Stage::kAgent, "agent connection").message,
            "interrupted during the agent connection: flash it again");
  const Failure cancelled{kCancelled, "between packets", VANTREL_CAUSE_NONE, 0};
  const Ending own = FailedDownload(cancelled, Stage::kImage, "bootloader", false, true);
  EXPECT_EQ(own.cls, kExitInterrupted);
  EXPECT_EQ(own.message, "interrupted while writing bootloader: 1031 Cancelled (between packets); flash it again");
  // The download is done: the phone resets whatever happens now.
  const Ending reset = Interrupted(Stage::kCountdown, "resetting");
  EXPECT_EQ(reset.cls, kExitOk);
  EXPECT_EQ(reset.message, "flashed; interrupted during the reset wait: the phone is resetting");
}

// A plan that only reads tells the phone's state, never to flash it: before
// the agent runs nothing needs doing, after it the phone waits to be unplugged.
TEST(ExitClass, APlanThatOnlyReadsTellsThePhonesStateNotToFlashIt) {
  const std::string again = "nothing was written; run the command again";
  const std::string unplug = "nothing was written; the phone is waiting in download mode: unplug it";
  EXPECT_EQ(Interrupted(Stage::kBootRom, "boot ROM stage", nullptr, false).message,
            "interrupted during the boot ROM stage; " + again);
  EXPECT_EQ(Interrupted(Stage::kAgent, "agent scans the flash", nullptr, false).message,
            "interrupted while the agent scans the flash; " + unplug);
  EXPECT_EQ(Interrupted(Stage::kReading, "identify", nullptr, false).message,
            "interrupted while identifying the phone; " + unplug);
  const Failure cancelled{kCancelled, "between packets", VANTREL_CAUSE_NONE, 0};
  EXPECT_EQ(FailedDownload(cancelled, Stage::kReading, "reading the flash", false, true, false).message,
            "interrupted while reading the flash; " + unplug);
  for (const Failure& f : {Failure{kReadFlashFailed, "wrong sums", VANTREL_CAUSE_NONE, 0},
                           Failure{kReadOutOfRange, "past the end", VANTREL_CAUSE_NONE, 0}}) {
    const Ending e = FailedDownload(f, Stage::kReading, "reading the flash", false, false, false);
    EXPECT_NE(e.message.find(unplug), std::string::npos) << e.message;
    EXPECT_EQ(e.message.find("flash it"), std::string::npos) << e.message;
  }
}

TEST(ExitClass, TheStationsCodeIsThePhonesClassOrMixed) {
  auto phone = [](ExitCode cls) {
    PhoneState s;
    s.result = cls;
    return s;
  };
  EXPECT_EQ(StationExit({phone(kExitOk), phone(kExitOk)}), kExitOk);
  EXPECT_EQ(StationExit({phone(kExitFlash), phone(kExitFlash)}), kExitFlash);
  EXPECT_EQ(StationExit({phone(kExitOk), phone(kExitFlash)}), kExitMixed);
  EXPECT_EQ(StationExit({phone(kExitNoAnswer), phone(kExitFlash)}), kExitMixed);
  EXPECT_EQ(StationExit({phone(kExitFlash), phone(kExitInterrupted)}), kExitInterrupted);
}

// A log that cannot take a phone's line (a full disk) is said, not
// swallowed; the phone is counted all the same.
TEST(StationLog, ALineTheLogCannotTakeIsToldAndThePhoneStillCounts) {
  StationTally tally(0, "sha", "rom");
  std::string error;
  ASSERT_TRUE(tally.OpenLog("/dev/full", &error)) << error;
  PhoneState s;
  s.label = "/dev/ttyACM0";
  const std::string lost = tally.Record(s, 1, 2);
  EXPECT_NE(lost.find("cannot append /dev/ttyACM0's result to the log /dev/full: No space left on device"),
            std::string::npos)
      << lost;
  EXPECT_EQ(tally.flashed(), 1u);
  EXPECT_EQ(tally.passed(), 1u);
}

// A disk that takes only part of a line (a file size limit here): the
// fragment is taken back, so the next phone's line is whole and parses.
TEST(StationLog, ACutLineIsTakenBackAndTheNextOneStaysWhole) {
  const fs::path log = fs::temp_directory_path() / ("vantrel-log-test-" + std::to_string(::getpid()) + ".jsonl");
  fs::remove(log);
  StationTally tally(0, "sha", "rom");
  std::string error;
  ASSERT_TRUE(tally.OpenLog(log.string(), &error)) << error;
  PhoneState s;
  s.label = "/dev/ttyACM0";
  ASSERT_EQ(tally.Record(s, 1, 2), "");
  const auto whole = fs::file_size(log);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = whole + 10;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const std::string cut = tally.Record(s, 2, 3);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_NE(cut.find("only part of the line"), std::string::npos) << cut;
  EXPECT_EQ(fs::file_size(log), whole);
  ASSERT_EQ(tally.Record(s, 3, 4), "");
  std::ifstream in(log);
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines)
    EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << line;
  EXPECT_EQ(lines, 2);
  fs::remove(log);
}

class PortCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vantrel-core-test-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    pty_ = ttyname(slave_);
  }
  void TearDown() override {
    close(slave_);
    close(master_);
    fs::remove_all(dir_);
  }
  fs::path dir_;
  int master_ = -1, slave_ = -1;
  std::string pty_;
};

TEST_F(PortCheckTest, EachPathGetsItsOwnVerdict) {
  std::ofstream(dir_ / "file") << "x";
  fs::create_symlink(pty_, dir_ / "link");
  struct Case {
    std::string path;
    PortProblem problem;
    std::string words;
  };
  const Case cases[] = {
      {pty_, PortProblem::kNone, ""},
      {(dir_ / "link").string(), PortProblem::kNone, ""},  // a by-id style link
      {(dir_ / "ttyACM9").string(), PortProblem::kMissing, "does not exist"},
      {"/dev/null", PortProblem::kNotTty, "is not a terminal"},
      {(dir_ / "file").string(), PortProblem::kNotDevice, "is a regular file"},
      {dir_.string(), PortProblem::kNotDevice, "is a directory"},
      {"/dev/tty", PortProblem::kNeverAPort, "is the controlling terminal"},
      {"/dev/ptmx", PortProblem::kNeverAPort, "multiplexer"},
  };
  for (const auto& c : cases) {
    const PortCheck check = CheckPort(c.path);
    EXPECT_EQ(check.problem, c.problem) << c.path << ": " << check.message;
    EXPECT_NE(check.message.find(c.words), std::string::npos) << check.message;
    if (c.problem != PortProblem::kNone) {
      EXPECT_EQ(check.message.rfind(c.path + ": ", 0), 0u) << check.message;
    }
  }
  ASSERT_EQ(flock(slave_, LOCK_EX | LOCK_NB), 0);  // as another program's lock would
  EXPECT_EQ(CheckPort(pty_).problem, PortProblem::kBusy);
}

TEST(PortArguments, AComNameKeepsItsNumberAndPathsTakeTheFreeOnes) {
  EXPECT_EQ(AssignComNumbers({"/dev/ttyACM0", "COM45", "/dev/ttyACM1", "COM40"}, 40),
            (std::vector<unsigned>{41, 45, 42, 40}));
  EXPECT_EQ(AssignComNumbers({"COM3", "/dev/ttyUSB0"}, 44), (std::vector<unsigned>{3, 44}));
  EXPECT_EQ(AssignComNumbers({"com45"}, 40), (std::vector<unsigned>{45}));
  std::string path, error;
  EXPECT_FALSE(ResolvePortArgument("COM256", &path, &error));
  EXPECT_NE(error.find("from 1 to 255"), std::string::npos) << error;
  EXPECT_FALSE(ResolvePortArgument("COM99999999999999999999", &path, &error));
  // One port spelled two ways is one port, before it exists too.
  EXPECT_TRUE(SamePort("/nonexistent-dir/ports/COM40", "/nonexistent-dir/./ports/../ports/COM40"));
  EXPECT_FALSE(SamePort("/nonexistent-dir/ports/COM40", "/nonexistent-dir/ports/COM41"));
}

// The remedy follows the node: its group when the group may open it, the
// udev rules when only its owner may.
TEST(PortCheck, APermissionRemedyFollowsTheNodesOwnerGroupAndMode) {
  struct Case {
    NodeAccess node;
    std::string said, never;
  };
  const Case cases[] = {
      {{"root", "uucp", 0660, false, false, false}, "(owner root, group uucp, mode 0660); add yourself to the group uucp",
       "dialout"},
      {{"root", "dialout", 0660, true, false, false}, "log in again (or run `newgrp dialout`)", "usermod"},
      {{"root", "root", 0600, false, false, false}, "only root may open it: install the udev rules", "usermod"},
      {{"root", "tty", 0620, false, false, false}, "only root may open it", "tty"},  // the group may only write
      {{"root", "root", 0600, false, false, true}, "the udev rules are installed but gave this seat no access", "usermod"},
  };
  for (const auto& c : cases) {
    const std::string text = PermissionDenied(c.node);
    EXPECT_NE(text.find(c.said), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find("); ")).find(c.never), std::string::npos) << "the remedy says " << c.never;
  }
}

PhoneState Writing(const std::string& label) {
  PhoneState s;
  s.label = label;
  s.com = 40;
  s.stage = Stage::kImage;
  s.step = "secondary ROM image";
  s.image = 4;
  s.images = 6;
  s.percent = 50;
  s.done_bytes = 1'000'000;
  s.total_bytes = 2'500'000;
  s.rate = 189'000;
  return s;
}

TEST(Layout, TheLiveLineFitsTheTerminalAndKeepsRateAndTimeLeft) {
  const std::string by_path = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0";
  for (const std::string& label : {std::string("/dev/ttyACM0"), by_path}) {
    const PhoneState s = Writing(label);
    const size_t head = HeadWidth({s});
    const std::string wide = LiveLine(s, 160, head);
    EXPECT_LT(Columns(wide), 160u) << wide;
    EXPECT_EQ(wide.rfind(label + " (COM40)", 0), 0u) << wide;
    EXPECT_NE(wide.find("image 4 of 6   50%  total  40%  189 kB/s   0:08 left"), std::string::npos) << wide;
    for (size_t cols : {80u, 60u}) {
      const std::string line = LiveLine(s, cols, head);
      EXPECT_LT(Columns(line), cols) << line;
      EXPECT_NE(line.find("secondary ROM image"), std::string::npos) << line;
      EXPECT_NE(line.find("0:08 left"), std::string::npos) << cols << ": " << line;
      if (cols == 80) {
        EXPECT_NE(line.find("189 kB/s"), std::string::npos) << line;
      }
    }
  }
  // A read of the flash shows its bytes, not an image of a plan it has none of.
  PhoneState reading = Writing("/dev/ttyACM1");
  reading.stage = Stage::kReading;
  reading.step = "reading the flash";
  reading.image = reading.images = 0;
  const std::string read = LiveLine(reading, 160, HeadWidth({reading}));
  EXPECT_EQ(read.find("image"), std::string::npos) << read;
  EXPECT_NE(read.find(" of "), std::string::npos) << read;
  EXPECT_NE(read.find("0:08 left"), std::string::npos) << read;
  // A long end keeps the head's column and is cut, not wrapped.
  PhoneState failed = Writing("/dev/ttyACM2");
  failed.stage = Stage::kFailed;
  failed.result = kExitConnectionLost;
  failed.message = std::string(200, 'x');
  const std::string end = LiveLine(failed, 80, 20);
  EXPECT_EQ(end.rfind("/dev/ttyACM2 (COM40) FAILED: xxx", 0), 0u) << end;
  EXPECT_EQ(Columns(end), 79u) << end;
  // The label gives way from its start: the end tells sockets apart.
  const std::string narrow = LiveLine(Writing(by_path), 80, 60);
  EXPECT_EQ(narrow.rfind("...", 0), 0u) << narrow;
  EXPECT_NE(narrow.find("2:1.0 "), std::string::npos) << narrow;
}

TEST(Layout, AComNameGivenByTheUserIsShownAsGiven) {
  PhoneState s = Writing("COM45");
  s.com = 45;
  EXPECT_EQ(PhoneHead(s), "COM45");
}

TEST(Layout, TheSummaryTableFitsEightyColumnsAndSaysEachEnd) {
  PhoneState ok = Writing("/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0");
  ok.result = kExitOk;
  ok.message = "flashed";
  ok.seconds = 16;
  PhoneState lost = Writing("/dev/ttyACM2");
  lost.result = kExitConnectionLost;
  lost.code = kWriteFailed;
  lost.message = "connection lost (the port went away) during FS image 1";
  lost.seconds = 8;
  lost.done_bytes = 1'100'000;
  const std::string table = SummaryTable({ok, lost}, 80);
  std::istringstream in(table);
  std::vector<std::string> rows;
  for (std::string line; std::getline(in, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 5u) << table;  // blank, header, two phones, one message
  EXPECT_EQ(rows[1].find("phone"), 0u);
  for (size_t i = 1; i <= 3; ++i) EXPECT_LT(Columns(rows[i]), 80u) << rows[i];
  // Columns line up: each row's time ends where the header's does.
  EXPECT_EQ(rows[2].size(), rows[1].size()) << table;
  EXPECT_NE(rows[2].find("usb-0:2:1.0 ok"), std::string::npos) << rows[2];
  EXPECT_NE(rows[3].find("FAILED 4008 WriteFailed"), std::string::npos) << rows[3];
  EXPECT_NE(rows[3].find("0:08   1.1 MB"), std::string::npos) << rows[3];
  EXPECT_EQ(rows[4], "  /dev/ttyACM2: connection lost (the port went away) during FS image 1");
  // Off a terminal nothing is shortened.
  EXPECT_NE(SummaryTable({ok}, 0).find(ok.label + " "), std::string::npos);
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override { BuildApp(app_); }
  // The parser's refusal of `args`, as the user reads it.
  std::string Refusal(std::vector<std::string> args) {
    std::vector<const char*> argv{"vantrel"};
    for (const auto& a : args) argv.push_back(a.c_str());
    try {
      app_.parse(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
    } catch (const CLI::ValidationError& e) {
      return PlainParseMessage(e.what());
    } catch (const CLI::ParseError& e) {
      return e.what();
    }
    return "";
  }
  CLI::App app_;
};

TEST_F(CommandLine, AnUnknownNameIsToldWithTheNearestValidOne) {
  struct Case {
    std::vector<std::string> args;
    std::string said;
  };
  const Case cases[] = {
      {{"--verison"}, "unknown option --verison for `vantrel`; did you mean --version?"},
      {{"flsh"}, "unknown command \"flsh\" for `vantrel`; did you mean flash?"},
      {{"flash", "--pakage", "x"}, "unknown option --pakage for `vantrel flash`; did you mean --package?"},
      {{"flash", "--simulate", "--phnoes=2"}, "did you mean --phones?"},
      {{"pkg", "biuld"}, "did you mean build?"},
      {{"flash", "--frobnicate"}, "unknown option --frobnicate for `vantrel flash`; see `vantrel flash --help`"},
      {{"flash", "-x"}, "unknown option -x for `vantrel flash`; see"},
  };
  for (const auto& c : cases) EXPECT_NE(UnknownArgument(app_, c.args).find(c.said), std::string::npos) << c.said;
  // Values are not options, whatever they look like.
  for (const std::vector<std::string>& known :
       {std::vector<std::string>{"flash", "--wait", "-3", "--port", "/dev/ttyACM0", "-q"},
        {"flash", "--simulate", "--bad-blocks", "1", "2", "--json"},
        {"sim", "--da-version", "3", "2", "--geometry=512"},
        {"pkg", "info", "fw.bin"}, {"pkg", "build", "d.json", "-o", "x.bin"}})
    EXPECT_EQ(UnknownArgument(app_, known), "") << known[1];
}

TEST_F(CommandLine, ANumberOutOfRangeIsToldInWords) {
  EXPECT_EQ(Refusal({"flash", "--simulate", "--wait", "-3"}), "--wait takes a number of seconds, 0 or more (not \"-3\")");
  EXPECT_EQ(Refusal({"codes", "abc"}), "code takes a result code, a whole number from 0 to 99999 (not \"abc\")");
  EXPECT_EQ(Refusal({"flash", "--simulate", "--page-size", "1024"}), "--page-size takes 512 or 2048 (not \"1024\")");
  EXPECT_EQ(Refusal({"station", "--package", "x", "--max-phones", "-3"}),
            "--max-phones takes a number of phones, a whole number 0 or more (not \"-3\")");
  EXPECT_EQ(Refusal({"sim", "--latency-us", "1e3"}),
            "--latency-us takes microseconds, a whole number from 0 to 10000000 (not \"1e3\")");
  EXPECT_EQ(Refusal({"station", "--package", "x", "--max-phones", "99999999999"}),
            "--max-phones takes a number of phones, a whole number from 0 to 4294967295 (not \"99999999999\")");
  // A leading zero is decimal, as the words say, not octal.
  EXPECT_EQ(Refusal({"codes", "010"}), "");
  EXPECT_EQ(app_.get_subcommand("codes")->get_option("code")->as<int>(), 10);
}

// Each help ends with the exit codes of its own command.
TEST_F(CommandLine, EachHelpEndsWithItsOwnExitCodes) {
  const std::string codes = app_.get_subcommand("codes")->help();
  const std::string build = app_.get_subcommand("pkg")->get_subcommand("build")->help();
  const std::string flash = app_.get_subcommand("flash")->help();
  for (const std::string* help : {&codes, &build, &flash}) {
    const size_t at = help->rfind("Exit codes:\n");
    ASSERT_NE(at, std::string::npos) << *help;
    EXPECT_EQ(help->find("--", at), std::string::npos) << "options after the exit codes\n" << *help;
  }
  EXPECT_EQ(codes.find("success (every phone)"), std::string::npos) << codes;
  EXPECT_NE(build.find("would not load"), std::string::npos) << build;
  EXPECT_NE(flash.find("130  interrupted"), std::string::npos) << flash;
}

// Every long option of every command, as --help lists them.
std::set<std::string> HelpOptions(const CLI::App& app) {
  std::set<std::string> names;
  for (const CLI::Option* o : app.get_options())
    for (const auto& l : o->get_lnames()) names.insert("--" + l);
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    names.merge(HelpOptions(*sub));
  return names;
}

std::string SourceFile(const std::string& path) {
  std::ifstream in(std::string(VANTREL_SOURCE_DIR) + "/" + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> LongOptionsIn(std::string text) {
  text = std::regex_replace(text, std::regex(R"(\\f[BIRP])"), " ");                             // roff's fonts
  for (size_t at; (at = text.find("\\-")) != std::string::npos;) text.replace(at, 2, "-");  // roff's \-
  std::set<std::string> names;
  const std::regex option(R"((^|[^\w-])(--[a-z][a-z-]*[a-z]))");
  for (std::sregex_iterator m(text.begin(), text.end(), option), end; m != end; ++m) names.insert((*m)[2]);
  return names;
}

TEST_F(CommandLine, TheManualPageAndTheReadmeNameTheOptionsHelpLists) {
  const std::set<std::string> help = HelpOptions(app_);
  const std::set<std::string> page = LongOptionsIn(SourceFile("packaging/vantrel.1"));
  for (const auto& o : help) EXPECT_TRUE(page.count(o)) << o << " is not in the manual page";
  for (const auto& o : page) EXPECT_TRUE(help.count(o)) << "the manual page names " << o << ", which no command has";
  // The README's usage: its `vantrel ...` command lines.
  std::istringstream readme(SourceFile("README.md"));
  bool usage = false;
  std::string commands;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("## ", 0) == 0) usage = line == "## Usage";
    if (usage && line.rfind("vantrel ", 0) == 0) commands += line + "\n";
  }
  ASSERT_FALSE(commands.empty());
  for (const auto& o : LongOptionsIn(commands))
    EXPECT_TRUE(help.count(o)) << "the README's usage names " << o << ", which no command has";
}

// Hints name what an install has (the manual page, the rules' installed
// place), never a file of the source tree.
TEST_F(CommandLine, NoHelpPointsIntoTheSourceTree) {
  std::vector<const CLI::App*> all{&app_};
  for (size_t i = 0; i < all.size(); ++i) {
    for (const CLI::App* sub : all[i]->get_subcommands([](const CLI::App*) { return true; })) all.push_back(sub);
    const std::string help = all[i]->help();
    for (const char* source : {"tools/", "ports/", "packaging/", "README"})
      EXPECT_EQ(help.find(source), std::string::npos) << all[i]->get_name() << " --help names " << source;
  }
}

// Bash itself runs the script generated from the option table: `words` is
// the command line so far, its last word the one being completed.
class Completion : public CommandLine {
 protected:
  void SetUp() override {
    CommandLine::SetUp();
    dir_ = fs::temp_directory_path() / ("vantrel-completion-" + std::to_string(getpid()));
    fs::create_directories(dir_ / "ports");
    std::ofstream(dir_ / "fw.bin") << "x";
    std::ofstream(dir_ / "my fw.img") << "x";
    std::ofstream(dir_ / "ttyFAKE0") << "x";
    fs::create_symlink("/dev/null", dir_ / "ports" / "COM41");
    std::ofstream(dir_ / "completion.sh") << BashCompletion(app_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::set<std::string> Complete(const std::vector<std::string>& words) {
    std::string line;
    for (const auto& w : words) line += " '" + w + "'";
    const std::string script = "VANTREL_PORT_DIR='" + (dir_ / "ports").string() + "'; source '" +
                               (dir_ / "completion.sh").string() + "'; COMP_WORDS=(vantrel" + line +
                               "); COMP_CWORD=" + std::to_string(words.size()) +
                               "; _vantrel; printf '%s\\n' \"${COMPREPLY[@]}\"";
    std::ofstream(dir_ / "run.sh") << script;
    std::FILE* p = ::popen(("bash '" + (dir_ / "run.sh").string() + "' 2>&1").c_str(), "r");
    std::set<std::string> out;
    char buf[4096];
    while (p && std::fgets(buf, sizeof buf, p)) {
      std::string l(buf);
      if (!l.empty() && l.back() == '\n') l.pop_back();
      if (!l.empty()) out.insert(l);
    }
    if (p) ::pclose(p);
    return out;
  }
  fs::path dir_;
};

TEST_F(Completion, FilesPortsAndOptionsWhereEachBelongs) {
  const std::string fw = (dir_ / "fw").string();
  for (const auto& words : {std::vector<std::string>{"pkg", "build", fw}, {"pkg", "info", fw},
                            {"flash", "--package", fw}}) {
    EXPECT_EQ(Complete(words), (std::set<std::string>{fw + ".bin"})) << words[1];
  }
  const std::string spaced = (dir_ / "my").string();  // one name, though it has a space
  EXPECT_EQ(Complete({"pkg", "info", spaced}), (std::set<std::string>{spaced + " fw.img"}));
  EXPECT_EQ(Complete({"flash", "--port", spaced}), (std::set<std::string>{spaced + " fw.img"}));
  EXPECT_EQ(Complete({"pkg", "build", ""}).count("sample"), 0u);
  EXPECT_EQ(Complete({"ports", "--a"}), (std::set<std::string>{"--all"}));
  EXPECT_EQ(Complete({"flash", "--tr"}), (std::set<std::string>{"--transcript"}));
  EXPECT_EQ(Complete({"flash", "--port", (dir_ / "tty").string()}), (std::set<std::string>{(dir_ / "ttyFAKE0").string()}));
  EXPECT_EQ(Complete({"flash", "--port", "CO"}), (std::set<std::string>{"COM41"}));
  EXPECT_EQ(Complete({"sim", "--geometry", ""}), (std::set<std::string>{"512", "2048"}));
  EXPECT_EQ(Complete({"fl"}), (std::set<std::string>{"flash"}));
}

// Every option --help lists completes under its own command, and nothing else.
TEST_F(Completion, OffersExactlyTheOptionsHelpLists) {
  std::vector<std::pair<std::vector<std::string>, const CLI::App*>> commands{{{}, &app_}};
  for (size_t i = 0; i < commands.size(); ++i) {
    auto [path, app] = commands[i];
    for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; })) {
      auto sub_path = path;
      sub_path.push_back(sub->get_name());
      commands.emplace_back(sub_path, sub);
    }
    std::set<std::string> options;
    for (const CLI::Option* o : app->get_options()) {
      for (const auto& l : o->get_lnames()) options.insert("--" + l);
      for (const auto& n : o->get_snames()) options.insert("-" + n);
    }
    path.push_back("-");
    EXPECT_EQ(Complete(path), options) << (path.size() > 1 ? path[path.size() - 2] : "vantrel");
  }
}

TEST(Json, BytesThatAreNotUtf8AreCarriedAsEscapes) {
  EXPECT_EQ(json_out::ValidUtf8("/dev/ttyACM0 \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB1"),
            "/dev/ttyACM0 \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB1");                   // é € and a phone
  EXPECT_EQ(json_out::ValidUtf8("bad\xff"), "bad\\xFF");
  EXPECT_EQ(json_out::ValidUtf8("\xC0\xAF"), "\\xC0\\xAF");                       // an overlong '/'
  EXPECT_EQ(json_out::ValidUtf8("\xED\xA0\x80"), "\\xED\\xA0\\x80");               // a surrogate
  EXPECT_EQ(json_out::ValidUtf8("cut \xE2\x82"), "cut \\xE2\\x82");                  // cut short
  // A whole object with such texts dumps (nlohmann's strict dump would throw).
  EXPECT_NO_THROW(json_out::Line({{"phone", "bad\xff"}, {"list", {{{"text", "\xfe"}}}}}));
}

}  // namespace
}  // namespace vantrel::cli
