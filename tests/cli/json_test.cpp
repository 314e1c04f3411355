// --json as a program reading it sees it: every line one valid object,
// whatever bytes a path holds, and always a final result object whose class
// is the exit code's, however the run ended (a usage error, Ctrl-C, a
// reader that went away). The manual page documents every field emitted.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>

#include <nlohmann/json.hpp>

#include "tests/cli/station_fixture.h"

namespace vantrel::testing {
namespace {

using nlohmann::json;

// Every line of `out` as an object; a line that does not parse fails the test.
std::vector<json> Objects(const std::string& out) {
  std::vector<json> all;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    json j = json::parse(line, nullptr, false);
    EXPECT_TRUE(j.is_object()) << "not a JSON object: " << line;
    if (j.is_object()) all.push_back(j);
  }
  return all;
}

// The last object is the result, naming the class the exit code names.
void ExpectResult(const std::vector<json>& objects, int exit_code, const std::string& cls) {
  ASSERT_FALSE(objects.empty());
  const json& last = objects.back();
  EXPECT_EQ(last.value("event", ""), "result") << last;
  EXPECT_EQ(last.value("exit", -1), exit_code) << last;
  EXPECT_EQ(last.value("result", ""), cls) << last;
  for (size_t i = 0; i + 1 < objects.size(); ++i) EXPECT_NE(objects[i].value("event", ""), "result");
}

TEST_F(Station, JsonCarriesAPathThatIsNotUtf8) {
  const std::string bad = (tmp_ / "bad\xff").string();
  auto f = Flash({"--port", bad, "--wait", "0", "--json"});
  ASSERT_EQ(f->Wait(milliseconds(10000)), 4) << f->err();
  const auto objects = Objects(f->out());
  ExpectResult(objects, 4, "port");
  EXPECT_EQ(objects.back()["phones"][0].value("phone", ""), (tmp_ / "bad\\xFF").string());
  EXPECT_FALSE(TempLeft());
}

TEST_F(Station, JsonEndsWithAResultWhateverEndedTheRun) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string cls;
  };
  const std::vector<Case> cases = {
      {{"flash", "--json", "--pakage", "x"}, 2, "usage"},
      {{"flash", "--json", "--package", (tmp_ / "none.bin").string(), "--port", "/dev/null"}, 3, "package"},
      {{"flash", "--json", "--package", package_, "--port", "/dev/null"}, 4, "port"},
      {{"codes", "--json"}, 2, "usage"},
      {{"flash", "--json=1", "--package", (tmp_ / "none.bin").string(), "--port", "/dev/null"}, 3, "package"},
      {{"readback", "--json", "--simulate", "--fs-region", "--out", (tmp_ / "no" / "x.bin").string()}, 2, "usage"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{Vantrel()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process p(argv, Env());
    EXPECT_EQ(p.Wait(milliseconds(10000)), c.code) << p.err();
    const auto objects = Objects(p.out());
    ASSERT_EQ(objects.size(), 1u) << p.out();
    ExpectResult(objects, c.code, c.cls);
    // The same words as standard error's line, so a log of either says why.
    EXPECT_NE(p.err().find(objects[0].value("message", "").substr(objects[0].value("message", "").find(": ") + 2)),
              std::string::npos)
        << p.err();
  }
}

TEST_F(Station, AnInterruptedJsonRunSaysInterrupted) {
  // A wait of 1e10 s is as good as none (it once overflowed and expired at once).
  auto f = Flash({"--port", (tmp_ / "ttyACM9").string(), "--json", "--wait", "1e10"});
  ASSERT_TRUE(f->WaitFor("waiting for the phone", milliseconds(5000))) << f->out();
  f->Signal(SIGTERM);  // as Ctrl-C
  EXPECT_EQ(f->Wait(milliseconds(3000)), 130) << f->err();
  const auto objects = Objects(f->out());
  ExpectResult(objects, 130, "interrupted");
  EXPECT_EQ(objects.back()["phones"][0].value("result", ""), "interrupted");
  EXPECT_NE(objects.back().value("message", "").find("interrupted (SIGTERM)"), std::string::npos) << objects.back();
  EXPECT_FALSE(TempLeft());
}

// `vantrel flash --json | head`: the reader goes away mid-download.
TEST_F(Station, AClosedOutputEndsTheRunAsCtrlCDoes) {
  const std::string a = StartPhone({"--rate", "200000"});
  auto f = Flash({"--port", a, "--time-scale", "100", "--json"});
  ASSERT_TRUE(f->WaitFor("\"step\":\"bootloader\"", milliseconds(30000))) << f->err();
  f->CloseOut();
  EXPECT_EQ(f->Wait(milliseconds(5000)), 130) << f->err();
  EXPECT_FALSE(TempLeft());
  const int fd = open(a.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the port is still held";
  close(fd);
}

// A run that prints nothing while it waits still learns that its reader left.
TEST_F(Station, AClosedOutputEndsASilentWaitToo) {
  auto f = Flash({"--port", (tmp_ / "ttyACM9").string(), "--json"});
  ASSERT_TRUE(f->WaitFor("waiting for the phone", milliseconds(5000))) << f->out();
  f->CloseOut();
  EXPECT_EQ(f->Wait(milliseconds(5000)), 130) << f->err();
  EXPECT_FALSE(TempLeft());
}

// A COMn the user gives is the number the plug-in sees, and the one shown;
// a port given by path takes the first number free.
TEST_F(Station, AComPortKeepsItsNumber) {
  const fs::path dir = tmp_ / "ports";
  fs::create_directories(dir);
  StartPhone({"--port-dir", dir.string(), "--com", "45"});
  const std::string by_path = StartPhone();
  Process::Options env = Env();
  env.env.push_back("VANTREL_PORT_DIR=" + dir.string());
  const std::string transcript = (tmp_ / "wire.txt").string();
  auto f = Flash({"--port", by_path, "--port", "COM45", "--time-scale", "100", "--json", "--transcript", transcript},
                 env);
  ASSERT_EQ(f->Wait(milliseconds(30000)), 0) << f->err() << f->out();
  const auto objects = Objects(f->out());
  ExpectResult(objects, 0, "ok");
  const json& phones = objects.back()["phones"];
  EXPECT_EQ(phones[0].value("com", 0), 40) << phones;
  EXPECT_EQ(phones[1].value("phone", ""), "COM45");
  EXPECT_EQ(phones[1].value("com", 0), 45);
  // The plug-in names each transcript by the COM number it opened.
  for (const char* com : {".COM40", ".COM45"}) {
    std::ifstream wire(transcript + com);
    std::string first;
    std::getline(wire, first);
    EXPECT_EQ(first, "> a0") << com;
  }
}

// event -> the fields the manual page's JSON OUTPUT section names for it
// (those of a phone's events included).
std::map<std::string, std::set<std::string>> DocumentedFields() {
  std::ifstream in(std::string(VANTREL_SOURCE_DIR) + "/packaging/vantrel.1");
  const std::string page(std::istreambuf_iterator<char>(in), {});
  const size_t from = page.find(".SS \"JSON OUTPUT\"");
  const std::string section = page.substr(from, page.find("\n.S", from + 1) - from);
  const std::regex bold(R"(\\fB([a-z_]+)\\fR)"), tp(R"(\n\.TP\n\.BR? ([^\n]+)\n)");
  std::set<std::string> common;
  const std::string intro = section.substr(0, section.find("\n.TP"));
  for (std::sregex_iterator m(intro.begin(), intro.end(), bold), end; m != end; ++m) common.insert((*m)[1]);
  std::map<std::string, std::set<std::string>> out;
  std::vector<std::pair<size_t, std::smatch>> entries;
  for (std::sregex_iterator m(section.begin(), section.end(), tp), end; m != end; ++m)
    entries.emplace_back(m->position(), *m);
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t body_from = entries[i].first + entries[i].second.length();
    const size_t body_to = i + 1 < entries.size() ? entries[i + 1].first : section.size();
    const std::string body = section.substr(body_from, body_to - body_from);
    const std::string names = entries[i].second[1];
    const std::regex word("[a-z]+");
    for (std::sregex_iterator n(names.begin(), names.end(), word), end; n != end; ++n) {
      auto& fields = out[n->str()];
      fields = common;
      for (std::sregex_iterator m(body.begin(), body.end(), bold), e; m != e; ++m) fields.insert((*m)[1]);
    }
  }
  return out;
}

TEST_F(Station, TheManualPageNamesEveryJsonEventAndField) {
  const auto documented = DocumentedFields();
  ASSERT_GE(documented.size(), 6u);
  Process ok({Vantrel(), "flash", "--simulate", "--json", "-v"}, Env());
  ASSERT_EQ(ok.Wait(milliseconds(30000)), 0) << ok.err();
  auto failed = Flash({"--port", (tmp_ / "ttyACM9").string(), "--wait", "0", "--json"});
  ASSERT_EQ(failed->Wait(milliseconds(10000)), 4);
  Process info({Vantrel(), "info", "--simulate", "--json", "--package", package_}, Env());
  ASSERT_EQ(info.Wait(milliseconds(30000)), 0) << info.err();
  std::set<std::string> seen;
  for (const json& j : [&] {
         auto all = Objects(ok.out());
         for (auto* p : {failed.get(), &info})
           for (auto& o : Objects(p->out())) all.push_back(o);
         return all;
       }()) {
    const std::string event = j.value("event", "");
    seen.insert(event);
    ASSERT_TRUE(documented.count(event)) << "undocumented event " << event;
    for (const auto& [key, value] : j.items()) {
      EXPECT_TRUE(key == "event" || documented.at(event).count(key)) << event << "." << key;
      for (const auto& item : value.is_array() ? value : json::array())
        for (const auto& [k, v] : item.items()) EXPECT_TRUE(documented.at(event).count(k)) << key << "[]." << k;
    }
  }
  // A fresh phone: the sections fit and hold no info block; the next
  // download erases the reserved pool for the first, and the second (which
  // shares its info area) carries on what the first commits, in the
  // documented words.
  const json identity = [&] {
    for (const json& j : Objects(info.out()))
      if (j.value("event", "") == "identity") return j;
    return json();
  }();
  ASSERT_EQ(identity["fs_sections"].size(), 2u) << info.out();
  EXPECT_EQ(identity["fs_sections"][0]["next_action"], "erase-reserved-pool");
  EXPECT_EQ(identity["fs_sections"][1]["next_action"], "carry-remaps");
  for (const json& f : identity["fs_sections"]) EXPECT_TRUE(f["info_block"].is_null()) << f.dump();
  for (const char* e : {"note", "stage", "report", "trace", "phone", "failure", "result", "identity"})
    EXPECT_TRUE(seen.count(e)) << e << " was not emitted";
}

}  // namespace
}  // namespace vantrel::testing
