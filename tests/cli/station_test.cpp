// The real `vantrel` binary against simulated phones (`vantrel sim`
// processes on pseudo-terminals) and against ports that cannot work. Runs
// with --time-scale 100, which the CLI allows for pseudo-terminals only.
#include <dlfcn.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/cli/station_fixture.h"

namespace vantrel::testing {
namespace {

TEST_F(Station, ThreePhonesAtOnceEachLineShowsItsOwnPhone) {
  std::string a = StartPhone(), b = StartPhone(), c = StartPhone();
  const std::string transcript = (tmp_ / "wire.txt").string();
  auto f = Flash({"--port", a, "--port", b, "--port", c, "--time-scale", "100", "--transcript", transcript});
  ASSERT_EQ(f->Wait(milliseconds(60000)), 0) << f->err();
  EXPECT_EQ(f->err().find('\r'), std::string::npos) << "carriage return off a terminal";
  // One wire transcript per phone, each opening with the boot ROM handshake.
  for (const char* com : {"COM40", "COM41", "COM42"}) {
    std::ifstream in(transcript + "." + com);
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(first + "|" + second, "> a0|< 5f") << com;
  }
  for (const auto& port : {a, b, c}) {
    auto lines = LinesOf(f->err(), port);
    // Misrouted reports would show twice under one phone and not at all under another.
    EXPECT_EQ(Count(lines, "boot ROM stage"), 1u) << port << "\n" << f->err();
    EXPECT_EQ(Count(lines, "FS image 2 (image 6 of 6)"), 1u) << port << "\n" << f->err();
    EXPECT_EQ(Count(lines, "100% ("), 1u) << port;
    EXPECT_EQ(Count(lines, "done"), 1u) << port;
    // The phone's port went after the watchdog command: no 80-second wait.
    EXPECT_NE(f->out().find(port + ": flashed; the phone reset after "), std::string::npos) << f->out();
  }
  // The outcome on standard output, the progress on standard error.
  EXPECT_NE(f->out().find("ok: 3 of 3 phone(s) flashed (exit 0)"), std::string::npos) << f->out();
  EXPECT_EQ(f->err().find("phone(s) flashed"), std::string::npos) << f->err();
}

// The sample package is for 2048-byte pages; this phone's flash has 512.
TEST_F(Station, APackageForTheOtherGeometryIsRefusedBeforeAnythingIsWritten) {
  std::string a = StartPhone({"--geometry", "512"});
  auto f = Flash({"--port", a, "--time-scale", "100"});
  EXPECT_EQ(f->Wait(milliseconds(30000)), 3) << f->err();
  auto lines = LinesOf(f->err(), a);
  ASSERT_FALSE(lines.empty()) << f->err();
  EXPECT_NE(lines.back().find("the package's FS images are for 2048-byte pages; this phone's flash has 512-byte "
                              "pages; nothing was written"),
            std::string::npos)
      << f->err();
  EXPECT_EQ(Count(lines, "bootloader"), 0u) << "a write began\n" << f->err();
}

TEST_F(Station, APowerCutFailsOnlyThatPhone) {
  std::string a = StartPhone(), b = StartPhone({"--power-cut-after", "40"}), c = StartPhone();
  auto f = Flash({"--port", a, "--port", b, "--port", c, "--time-scale", "100"});
  ASSERT_EQ(f->Wait(milliseconds(60000)), 8) << f->err();  // several phones, mixed results
  EXPECT_EQ(Count(LinesOf(f->err(), a), "done"), 1u) << f->err();
  EXPECT_EQ(Count(LinesOf(f->err(), c), "done"), 1u) << f->err();
  auto bl = LinesOf(f->err(), b);
  EXPECT_EQ(Count(bl, "done"), 0u);
  EXPECT_EQ(Count(bl, "FAILED: connection lost (the port went away) during "), 1u) << f->err();
  const std::string last = f->out().substr(f->out().rfind("vantrel flash:"));
  EXPECT_NE(last.find("2 of 3 phone(s) flashed; failed: " + b), std::string::npos) << last;
  EXPECT_NE(last.find("(exit 8)"), std::string::npos) << last;
}

TEST_F(Station, AFailureIsToldByWhatHappenedNotByTheStepsCode) {
  // Silent from the fourth block write on, which lies in FS image 2; the
  // session gives up after two seconds without a byte instead of thirty.
  const std::string silent = StartPhone({"--silence-at", "agent:0xBD#4"});
  // Hangs up when the first FS image reads the phone's flash (the read after
  // the geometry check's), a read whose failure the step reports as "ROM
  // information not on the flash".
  const std::string gone = StartPhone({"--hangup-at", "agent:0xDF#2"});
  auto f = Flash({"--port", silent, "--port", gone, "--time-scale", "100", "--answer-limit", "2"});
  EXPECT_EQ(f->Wait(milliseconds(30000)), 6) << "both: the connection class\n" << f->err();
  const auto s = LinesOf(f->err(), silent);
  ASSERT_FALSE(s.empty()) << f->err();
  EXPECT_NE(s.back().find("FAILED: the phone stopped answering during FS image 2 (no byte for 2 s): 4008"),
            std::string::npos)
      << f->err();
  EXPECT_NE(s.back().find("check the cable and the phone's battery"), std::string::npos) << s.back();
  EXPECT_EQ(s.back().find("flash needs service"), std::string::npos) << s.back();
  const auto g = LinesOf(f->err(), gone);
  ASSERT_FALSE(g.empty()) << f->err();
  EXPECT_NE(g.back().find("FAILED: connection lost (the port went away) during FS image 1: 1024"), std::string::npos)
      << f->err();
  EXPECT_EQ(g.back().find("does not fit this phone's flash"), std::string::npos) << g.back();
}

TEST_F(Station, PortsThatCannotWorkFailAtOnceWithTheirCause) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const std::string held = ttyname(slave);
  ASSERT_EQ(flock(slave, LOCK_EX | LOCK_NB), 0);  // another program holds it
  std::ofstream(tmp_ / "file") << "x";
  struct Case {
    std::vector<std::string> args;
    std::string path, cause;
  };
  const std::string missing = (tmp_ / "ttyACM9").string();
  // What each kind of path is told is the port check's (core_test.cpp); a
  // process shows the exit code, that nothing waited, and that nothing is left.
  const std::vector<Case> cases = {
      {{"--port", missing, "--wait", "0.2"}, missing, "did not appear within 0.2 s"},
      {{"--port", "/dev/null"}, "/dev/null", "is not a terminal"},
      {{"--port", held}, held, "busy, another program holds it (held by " + std::to_string(getpid())},
  };
  for (const auto& c : cases) {
    auto f = Flash(c.args);
    EXPECT_EQ(f->Wait(milliseconds(5000)), 4) << f->err();
    EXPECT_NE(f->err().find(c.path), std::string::npos) << f->err();
    EXPECT_NE(f->err().find(c.cause), std::string::npos) << f->err();
    if (c.path != missing) {
      EXPECT_EQ(f->err().find("waiting for the phone"), std::string::npos) << f->err();
    }
    EXPECT_FALSE(TempLeft());
  }
  {  // a COMn port whose port directory is missing can never appear: said while waiting
    Process::Options o = Env();
    const std::string dir = (tmp_ / "no-ports").string();
    o.env.push_back("VANTREL_PORT_DIR=" + dir);
    auto f = Flash({"--port", "COM45", "--wait", "0.2"}, o);
    EXPECT_EQ(f->Wait(milliseconds(5000)), 4) << f->err();
    EXPECT_NE(f->err().find("the port directory " + dir + " does not exist"), std::string::npos) << f->err();
  }
  if (getuid() == 0) {  // the pty belongs to root: another user may not open it
    flock(slave, LOCK_UN);
    Process::Options o = Env();
    o.uid = 65534;
    fs::permissions(tmp_, fs::perms::all, fs::perm_options::add);
    fs::permissions(package_, fs::perms::all, fs::perm_options::add);
    auto f = Flash({"--port", held}, o);
    EXPECT_EQ(f->Wait(milliseconds(5000)), 4) << f->err();
    // A pty is root's, its group may at most write to it: no group to join.
    struct stat st{};
    ASSERT_EQ(stat(held.c_str(), &st), 0);
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
    EXPECT_NE(f->err().find(held + ": permission denied (owner root, group "), std::string::npos) << f->err();
    EXPECT_NE(f->err().find(std::string(", mode ") + mode + "); only root may open it"), std::string::npos)
        << f->err();
    EXPECT_EQ(f->err().find("usermod"), std::string::npos) << f->err();
  }
  close(slave);
  close(master);
}

TEST_F(Station, ASilentPhoneEndsAtTheBootRomStage) {
  ASSERT_TRUE(LibraryHas("VantrelLastFailure")) << "the library must report the boot ROM stage's result";
  // Silent from its first register command on: a phone silent from the
  // handshake would spend the handshake's deadline, which counts real port time.
  std::string a = StartPhone({"--silence-at", "brom:0xA1"});
  auto f = Flash({"--port", a, "--time-scale", "100"});
  EXPECT_EQ(f->Wait(milliseconds(20000)), 5) << f->err();
  auto lines = LinesOf(f->err(), a);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("boot ROM stage failed"), std::string::npos) << f->err();
  EXPECT_NE(lines.back().find("download mode"), std::string::npos) << f->err();
  EXPECT_EQ(Count(lines, "agent"), 0u) << "the agent stage ran after a failed boot ROM stage\n" << f->err();
}

// SIGHUP (the terminal closed) and SIGTERM end the run as Ctrl-C does.
TEST_F(Station, CtrlCHangUpOrTermWhileWaitingForThePort) {
  const std::string missing = (tmp_ / "ttyACM9").string();
  for (const auto& [sig, name] : {std::pair{SIGINT, "Ctrl-C"}, {SIGHUP, "SIGHUP"}, {SIGTERM, "SIGTERM"}}) {
    auto f = Flash({"--port", missing});
    ASSERT_TRUE(f->WaitFor("waiting for the phone on " + missing, milliseconds(5000))) << f->err();
    f->Signal(sig);
    EXPECT_EQ(f->Wait(milliseconds(3000)), 130) << name << ": " << f->err();
    EXPECT_NE(f->err().find("interrupted while waiting for the port"), std::string::npos) << f->err();
    EXPECT_NE(f->out().find(std::string("interrupted (") + name), std::string::npos) << f->out();
    EXPECT_FALSE(TempLeft()) << name;
  }
}

TEST_F(Station, CtrlCDuringASlowTransferReleasesThePort) {
  std::string a = StartPhone({"--rate", "200000"});  // FS image 1 takes about ten seconds
  auto f = Flash({"--port", a, "--time-scale", "100"});
  ASSERT_TRUE(f->WaitFor("FS image 1 (image 5 of 6)", milliseconds(30000))) << f->err();
  f->Signal(SIGINT);
  EXPECT_EQ(f->Wait(milliseconds(3000)), 130) << f->err();
  // Said by the session's own end, or by the summary when the session is
  // still inside the library as the grace time ends.
  const std::string all = f->err() + f->out();
  const size_t at = all.rfind("interrupted while writing FS image 1: ");
  ASSERT_NE(at, std::string::npos) << all;
  EXPECT_NE(all.find("flash it again", at), std::string::npos) << all;
  EXPECT_FALSE(TempLeft());
  int fd = open(a.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the port is still held";
  close(fd);
}

// A second Ctrl-C exits at once, and --json's output still ends with the
// run's result object.
TEST_F(Station, ASecondCtrlCExitsAtOnceAndTheJsonStillEndsWithTheResult) {
  std::string a = StartPhone({"--rate", "200000"});
  auto f = Flash({"--port", a, "--time-scale", "100", "--json"});
  ASSERT_TRUE(f->WaitFor("FS image 1", milliseconds(30000))) << f->out();
  f->Signal(SIGINT);
  f->Signal(SIGTERM);  // two SIGINTs sent at once may arrive as one
  EXPECT_EQ(f->Wait(milliseconds(3000)), 130) << f->err();
  EXPECT_NE(f->err().find("interrupted again: exiting now"), std::string::npos) << f->err();
  const std::string& out = f->out();
  ASSERT_FALSE(out.empty());
  const size_t from = out.rfind('\n', out.size() - 2);
  const auto last = nlohmann::json::parse(out.substr(from == std::string::npos ? 0 : from + 1));
  EXPECT_EQ(last["event"], "result");
  EXPECT_EQ(last["exit"], 130);
  EXPECT_FALSE(TempLeft());
}

TEST_F(Station, CtrlCDuringTheResetWaitIsASuccess) {
  std::string a = StartPhone();
  auto f = Flash({"--port", a, "--time-scale", "10"});  // an 8-second reset wait
  ASSERT_TRUE(f->WaitFor("safe to unplug", milliseconds(30000))) << f->err();
  f->Signal(SIGINT);
  EXPECT_EQ(f->Wait(milliseconds(3000)), 0) << f->err();
  EXPECT_NE(f->out().find("the phone is resetting"), std::string::npos) << f->out();
  EXPECT_FALSE(TempLeft());
}

TEST_F(Station, JsonLinesParseQuietIsQuietVerboseHasNoDots) {
  Process j({Vantrel(), "flash", "--simulate", "--phones", "2", "--json"}, Env());
  ASSERT_EQ(j.Wait(milliseconds(30000)), 0) << j.err();
  std::istringstream in(j.out());
  nlohmann::json last;
  size_t reports = 0;
  for (std::string line; std::getline(in, line);) {
    // Every line of standard output is a JSON object: the library's trace is
    // routed to the front end, never printed there.
    ASSERT_NO_THROW(last = nlohmann::json::parse(line)) << line;
    reports += last["event"] == "report";
  }
  EXPECT_GT(reports, 20u);
  EXPECT_EQ(last["event"], "result");
  EXPECT_EQ(last["exit"], 0);
  EXPECT_EQ(last["phones"].size(), 2u);

  Process q({Vantrel(), "flash", "--simulate", "-q"}, Env());
  ASSERT_EQ(q.Wait(milliseconds(30000)), 0) << q.err();
  EXPECT_EQ(q.err().find("[sim1]"), std::string::npos) << q.err();
  EXPECT_NE(q.out().find("vantrel flash: ok: 1 of 1 phone(s) flashed (exit 0)"), std::string::npos) << q.out();

  // -v: the plug-in's trace, but not its bare progress dots.
  Process v({Vantrel(), "flash", "--simulate", "-v"}, Env());
  ASSERT_EQ(v.Wait(milliseconds(30000)), 0) << v.err();
  const auto trace = LinesOf(v.err(), "sim1");
  EXPECT_EQ(Count(trace, "Connecting to DA"), 1u) << v.err();
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "."), 0) << v.err();
}

TEST_F(Station, BadInputIsOneLineWithItsCode) {
  std::ofstream(tmp_ / "garbage") << "not a flash";
  // A package the loader takes whose ROM record the download could not find.
  const std::string no_record = (tmp_ / "no-record.bin").string();
  {
    std::ifstream in(package_, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = bytes.find("MTK_ROMINFO_v");
    ASSERT_NE(at, std::string::npos);
    bytes[at] ^= 1;
    std::ofstream(no_record, std::ios::binary) << bytes;
  }
  ASSERT_EQ(mkfifo((tmp_ / "fifo").c_str(), 0600), 0);
  std::ofstream(tmp_ / "bad\nname") << "a file, not a tty";
  fs::create_symlink("loop-b", tmp_ / "loop-a");
  fs::create_symlink("loop-a", tmp_ / "loop-b");
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{"flash", "--frobnicate"}, 2, "--frobnicate"},
      {{"frob"}, 2, "unknown command \"frob\""},
      {{"FLASH"}, 2, "did you mean flash?"},
      {{"pkg"}, 2, "`vantrel pkg` needs a command: build, sample, info"},
      {{"codes", "1", "2"}, 2, "`vantrel codes`: "},
      {{"flash", "--pakage", package_}, 2, "did you mean --package?"},
      {{"flash", "--simulate", "--wait", "-3"}, 2, "--wait takes a number of seconds, 0 or more"},
      {{"flash", "--package", (tmp_ / "none.bin").string(), "--port", "/dev/null"}, 3, "does not exist"},
      {{"flash", "--package", tmp_.string(), "--port", "/dev/null"}, 3, "is a directory"},
      {{"flash", "--simulate", "--package", (tmp_ / "garbage").string()}, 3, "not a firmware package"},
      {{"flash", "--simulate", "--package", no_record}, 3, "ROM information record"},
      {{"station", "--package", (tmp_ / "fifo").string(), "--port", "/dev/null"}, 3, "is a FIFO"},
      // Outputs never overwrite a package, nor wait until the end to fail.
      {{"flash", "--simulate", "--package", package_, "--transcript", package_}, 2, "is the firmware package of this run"},
      {{"flash", "--simulate", "--transcript", package_}, 2, "is a firmware package, which writing would destroy"},
      {{"station", "--package", package_, "--port", (tmp_ / "ttyACM9").string(), "--log", package_}, 2,
       "is the firmware package"},
      {{"flash", "--simulate", "--state", (tmp_ / "none" / "st").string()}, 2, "the folder"},
      {{"flash", "--simulate", "--state", ""}, 2, "--state takes a path, not an empty string"},
      {{"flash", "--simulate", "--bad-blocks", "999999"}, 2, "the simulated flash has blocks 0 to 2047"},
      {{"station", "--package", (tmp_ / "none.bin").string(), "--port", "/dev/null"}, 3, "does not exist"},
      {{"flash", "--package", package_, "--port", "/dev/ptmx", "--port", "/dev/ptmx"}, 2, "given twice"},
      {{"flash", "--package", package_, "--port", (tmp_ / "bad\nname").string()}, 4, "bad\\x0Aname"},
      {{"flash", "--package", package_, "--port", (tmp_ / "loop-a").string()}, 4, "lead round in a loop"},
      {{"flash", "--simulate", "--state", tmp_.string()}, 3, "is a directory"},
      {{"flash", "--simulate", "--state", (tmp_ / "garbage").string()}, 3, "not a flash state file"},
      {{"sim", "--state", (tmp_ / "garbage").string()}, 3, "not a flash state file"},
      {{"flash", "--simulate", "--state", package_}, 3, "is a firmware package, not a flash state file; give it with"},
      {{"flash", "--package", package_, "--port", "/dev/ttyS0", "--bad-blocks", "3"}, 2, "only applies to --simulate"},
      {{"flash", "--package", package_, "--port", "/dev/ttyS0", "--time-scale", "9"}, 2, "a real phone needs"},
      {{"codes", "99999"}, 2, "99999 is not a result code"},
      {{"pkg", "info", (tmp_ / "garbage").string()}, 3, "not a firmware package"},
      {{"pkg", "sample", "-o", (tmp_ / "none" / "x.bin").string()}, 1, "x.bin: No such file or directory"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{Vantrel()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process p(argv, Env());
    EXPECT_EQ(p.Wait(milliseconds(10000)), c.code) << c.args[1] << ": " << p.err();
    EXPECT_NE(p.err().find(c.text), std::string::npos) << p.err();
    EXPECT_LE(std::count(p.err().begin(), p.err().end(), '\n'), 1) << p.err();
    EXPECT_EQ(p.err().find("remove"), std::string::npos) << "advice to delete a file the tool did not make";
  }
  EXPECT_EQ(Process({Vantrel(), "pkg", "info", package_}).Wait(milliseconds(10000)), 0) << "the package is whole";
  // A geometry the state file contradicts is refused, not silently overridden.
  const std::string state = (tmp_ / "small.state").string();
  Process first({Vantrel(), "flash", "--simulate", "-q", "--page-size", "512", "--state", state}, Env());
  ASSERT_EQ(first.Wait(milliseconds(30000)), 0) << first.err();
  Process second({Vantrel(), "flash", "--simulate", "--page-size", "2048", "--state", state}, Env());
  EXPECT_EQ(second.Wait(milliseconds(10000)), 2);
  EXPECT_NE(second.err().find("512-byte pages, but --page-size asks for 2048"), std::string::npos) << second.err();
  Process doctor({Vantrel(), "doctor", "--package", (tmp_ / "garbage").string()}, Env());
  EXPECT_EQ(doctor.Wait(milliseconds(10000)), 3) << doctor.out();
  EXPECT_NE(doctor.out().find("FAIL  package " + (tmp_ / "garbage").string()), std::string::npos) << doctor.out();
  Process help({Vantrel(), "flash", "--help"});
  EXPECT_EQ(help.Wait(milliseconds(5000)), 0);
  EXPECT_NE(help.out().find("130  interrupted (Ctrl-C"), std::string::npos) << help.out();
  Process version({Vantrel(), "--version"});
  EXPECT_EQ(version.Wait(milliseconds(5000)), 0);
  EXPECT_EQ(version.out().rfind("vantrel ", 0), 0u) << version.out();
}


// The stand-in plug-in shows what the CLI makes of the extension exports,
// whatever state the real library's support for them is in.
class WithExtensions : public Station {
 protected:
  void SetUp() override {
    Station::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    port_ = ttyname(slave_);
  }
  void TearDown() override {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
    Station::TearDown();
  }
  std::unique_ptr<Process> FakeFlash(const std::string& mode, std::vector<std::string> args) {
    Process::Options o = Env();
    o.env.push_back("VANTREL_FAKE=" + mode);
    o.env.push_back("VANTREL_FAKE_LOG=" + (tmp_ / "calls").string());
    args.insert(args.begin(), {"--library", BinDir() + "/libvantrel_fake_plugin.so", "--port", port_});
    return Flash(args, o);
  }
  std::string Calls() {
    std::ifstream in(tmp_ / "calls");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  int master_ = -1, slave_ = -1;
  std::string port_;
};

TEST_F(WithExtensions, AFailedBootRomStageStopsBeforeTheDownload) {
  auto f = FakeFlash("bootrom-fail", {});
  ASSERT_EQ(f->Wait(milliseconds(5000)), 5) << f->err();
  EXPECT_NE(f->err().find("boot ROM stage failed: 2005 BootStartFailed (no answer to the start sequence); power "
                          "the phone off"),
            std::string::npos)
      << f->err();
  EXPECT_EQ(Calls().find("download"), std::string::npos) << "Download was called";
  EXPECT_NE(Calls().find("delete"), std::string::npos);
  EXPECT_EQ(f->out().find("Connecting to BootROM"), std::string::npos) << "the routed trace reached standard output";
}

TEST_F(WithExtensions, VerboseTracePerPhoneAndCtrlCCancelsTheTransfer) {
  auto f = FakeFlash("transfer", {"-v"});
  ASSERT_TRUE(f->WaitFor("bootloader (image 1 of 1)", milliseconds(5000))) << f->err();  // the fake's plan
  EXPECT_NE(f->err().find("[" + port_ + "] Connecting to BootROM..."), std::string::npos) << f->err();
  f->Signal(SIGINT);
  EXPECT_EQ(f->Wait(milliseconds(3000)), 130) << f->err();
  EXPECT_NE(f->err().find("interrupted while writing bootloader: 1031 Cancelled"), std::string::npos) << f->err();
  // Cancelled, then ended as the host ends a session: not cut off by the exit.
  EXPECT_NE(Calls().find("cancel\ncancelled\ndelete"), std::string::npos) << Calls();
  EXPECT_EQ(f->out().find("Connecting to BootROM"), std::string::npos) << f->out();
  EXPECT_FALSE(TempLeft());
}

}  // namespace
}  // namespace vantrel::testing
