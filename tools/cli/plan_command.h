#pragma once
// Commands that run another plan on phones as `flash` runs its download
// (identify, read back): the same ports, --auto and --simulate, the same
// live display, Ctrl-C and exit codes; only what runs after the boot ROM
// stage, and what is reported at the end, differ.
#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/outcome.h"
#include "tools/cli/phone_state.h"
#include "tools/cli/plugin_host.h"

namespace vantrel::cli {

struct PlanCommand {
  std::string name;  // "info"
  std::string done;  // "identified": the verdict's word for a phone that passed
  // Before any port is touched, with the number of phones: refuses what
  // cannot work (throws CLI::RuntimeError after saying why).
  std::function<void(size_t phones)> check;
  // Phone k (from 0, labelled `label`), after its boot ROM stage: true with
  // the message of its success, else false with the session's failure, or
  // with a message when the failure was this side's (a file not written).
  std::function<bool(PluginHost& host, size_t k, const std::string& label, CInterfaceTemplate* s,
                     std::string* done)>
      run;
  // A failure of the phone's side this command tells in its own words and
  // class (not a Ctrl-C): true with the ending; false leaves it to the
  // common endings. Null: none.
  std::function<bool(const Failure& f, Ending* ending)> ending;
  // After every phone has ended: reports what each gave; returns the exit
  // code (`rc` as the phones' classes give it).
  std::function<int(const std::vector<PhoneState>& phones, int rc)> finish;
};

// Adds the command with flash's options (a package is optional: with one,
// the plan may compare it with the phone); returns it for its own options.
CLI::App* AddPlanCommand(CLI::App& app, const std::string& help, std::shared_ptr<PlanCommand> plan);

}  // namespace vantrel::cli
