// `vantrel codes [CODE]`: names the plug-in's result codes.
#include <cstdio>

#include "tools/cli/commands.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/usage.h"
#include "vantrel/codes.h"

namespace vantrel::cli {

void RegisterCodesCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand("codes", "List the plug-in's result codes, or explain one");
  auto code = std::make_shared<int>(-1);
  cmd->footer("\n" + ExitCodeHelp({{kExitOk, "the code was explained (or every code listed)"},
                                    {kExitUsage, "not a result code of the plug-in, or a bad argument"}}));
  cmd->add_option("code", *code, "A result code to explain")->transform(WholeNumber("a result code", 0, 99999));
  cmd->callback([code] {
    std::size_t n = 0;
    const CodeInfo* t = CodeTable(&n);
    bool found = false;
    for (std::size_t i = 0; i < n; ++i) {
      if (*code >= 0 && t[i].code != *code) continue;
      std::printf("%5d  %-22s %s\n", t[i].code, t[i].name, t[i].meaning);
      found = true;
    }
    if (!found) {
      std::fprintf(stderr, "vantrel codes: %d is not a result code of the plug-in; `vantrel codes` lists them all\n",
                   *code);
      throw CLI::RuntimeError(kExitUsage);
    }
  });
}

}  // namespace vantrel::cli
