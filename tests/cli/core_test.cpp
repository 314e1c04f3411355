// The CLI's core without a process: how a failure is classed and told, what
// the port check makes of real paths, and how the station's lines are laid
// out for a terminal's width.
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "tools/cli/exit_codes.h"
#include "tools/cli/layout.h"
#include "tools/cli/outcome.h"
#include "tools/cli/port_check.h"
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

}  // namespace
}  // namespace vantrel::cli
