#pragma once
// The command-line host is a table of subcommands, one file each. Every
// Register function adds its subcommand with its usage text and a callback;
// a callback that fails explains why on standard error and throws
// CLI::RuntimeError(exit_code) with a code from exit_codes.h.
#include <CLI/CLI.hpp>

namespace vantrel::cli {

void RegisterFlashCommand(CLI::App& app);   // cmd_flash.cpp
void RegisterSimCommand(CLI::App& app);     // cmd_sim.cpp
void RegisterPkgCommand(CLI::App& app);     // cmd_pkg.cpp
void RegisterPortsCommand(CLI::App& app);   // cmd_ports.cpp
void RegisterCodesCommand(CLI::App& app);   // cmd_codes.cpp
void RegisterDoctorCommand(CLI::App& app);  // cmd_doctor.cpp
void RegisterStationCommand(CLI::App& app); // cmd_station.cpp
void RegisterInfoCommand(CLI::App& app);    // cmd_info.cpp
void RegisterReadbackCommand(CLI::App& app);  // cmd_readback.cpp

}  // namespace vantrel::cli
