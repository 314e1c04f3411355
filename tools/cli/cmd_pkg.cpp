// `vantrel pkg build|sample|info`: writes packages from a JSON description and
// shows what the loader makes of a package file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "images/package_file.h"
#include "tools/cli/commands.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/usage.h"
#include "tools/pkg/builder.h"
#include "tools/pkg/inspect.h"
#include "tools/pkg/paths.h"
#include "tools/pkg/sample.h"

namespace vantrel::cli {
namespace {

[[noreturn]] void Fail(ExitCode code, const std::string& message) {
  std::fprintf(stderr, "vantrel pkg: %s\n", message.c_str());
  throw CLI::RuntimeError(code);
}

// The bytes to `path`, or the reason they could not be written. They go to
// a file beside it first and take its name only once whole, so a full disk
// neither leaves a cut package under the name nor loses the file it had.
// A symbolic link at `path` stays: the file it leads to is the one replaced.
void WriteOrFail(const std::string& path, const std::vector<pkg::InputFile>& inputs,
                 const std::vector<uint8_t>& bytes) {
  std::filesystem::path target;
  std::string why;
  if (!pkg::OutputTarget(path, inputs, &target, &why)) Fail(kExitUsage, why);
  const std::string partial = target.string() + ".partial";
  std::FILE* f = std::fopen(partial.c_str(), "wb");
  if (!f) Fail(kExitFailure, "cannot write " + path + ": " + std::strerror(errno));
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int err = errno;
  if (std::fclose(f) != 0 || !written) {
    const int e = written ? errno : err;
    std::remove(partial.c_str());
    Fail(kExitFailure, "cannot write " + path + ": " + std::strerror(e));
  }
  if (std::rename(partial.c_str(), target.c_str()) != 0) {
    const int e = errno;
    std::remove(partial.c_str());
    Fail(kExitFailure, "cannot write " + path + ": " + std::strerror(e));
  }
}

// The loader checks the package before a byte of it is written, so that a
// description that breaks a limit leaves no file behind.
void WriteChecked(const pkg::BuiltPackage& built, const std::string& output) {
  ImageStore store;
  std::string why;
  if (!BuildImageStore(built.bytes, &store, &why))
    Fail(kExitPackage, output + ": not written: the package described does not load: " + why);
  WriteOrFail(output, built.inputs, built.bytes);
  std::printf("%s: %zu bytes, %zu images (%zu FS)\n", output.c_str(), built.bytes.size(),
              built.store.size(), built.fsImages.size());
}

template <typename F>
void Guarded(F&& body) {
  try {
    body();
  } catch (const pkg::BuildError& e) {  // the description is wrong: a usage error
    std::fprintf(stderr, "vantrel pkg: %s\n", e.what());
    throw CLI::RuntimeError(kExitUsage);
  }
}

void RegisterBuild(CLI::App* pkg) {
  struct BuildArgs {
    std::string description, output;
  };
  auto build_args = std::make_shared<BuildArgs>();
  auto* build = pkg->add_subcommand("build", "Write a package from a JSON description (PACKAGE DESCRIPTION in `man vantrel`; `vantrel pkg sample` prints one)");
  build->footer("\n" + ExitCodeHelp({{kExitOk, "the package was written and loads"},
                                      {kExitFailure, "the package file could not be written"},
                                      {kExitUsage, "the description is wrong, a bad argument, or an output that is no regular file or is an input"},
                                      {kExitPackage, "the package described would not load: nothing written"}}));
  build->add_option("description", build_args->description, "JSON description")
      ->required()
      ->check(CLI::Validator(CLI::ExistingFile).description(""))  // else help reads "FILE:FILE"
      ->type_name("FILE");
  build->add_option("-o,--output", build_args->output, "Package file to write")->required()->type_name("FILE");
  build->callback([build_args] {
    Guarded([&] { WriteChecked(pkg::BuildPackageFromFile(build_args->description), build_args->output); });
  });
}

void RegisterSample(CLI::App* pkg) {
  struct SampleArgs {
    std::string output;
    uint32_t pageSize = 2048;
    bool verbatim = false;
    uint32_t fsImages = 2, dataBlocks = 6, tagModulus = 4;
  };
  auto sample_args = std::make_shared<SampleArgs>();
  auto* sample = pkg->add_subcommand(
      "sample", "Write the sample package, or print its JSON description when no -o is given");
  sample->footer("\n" + ExitCodeHelp({{kExitOk, "the sample was written (or its description printed)"},
                                       {kExitFailure, "the package file could not be written"},
                                       {kExitUsage, "a bad argument, or an output that is no regular file"}}));
  sample->add_option("-o,--output", sample_args->output, "Package file to write")->type_name("FILE");
  sample->add_option("--page-size", sample_args->pageSize, "512 (16 KiB blocks) or 2048 (128 KiB blocks)")
      ->check(OneOf({512, 2048}))
      ->type_name("512|2048");
  sample->add_flag("--verbatim", sample_args->verbatim, "One FS section per image instead of one split section");
  sample->add_option("--fs-images", sample_args->fsImages, "FS images, 1 to 4")->transform(WholeNumber("a number of FS images", 1, 4));
  sample->add_option("--data-blocks", sample_args->dataBlocks, "Data blocks per FS image")->transform(WholeNumber("a number of blocks", 1, 4096));
  sample->add_option("--tag-modulus", sample_args->tagModulus, "Tags of the entry words")->transform(WholeNumber("a number of tags", 1, 256));
  sample->callback([sample_args] {
    Guarded([&] {
      pkg::SampleOptions o;
      o.pageSize = sample_args->pageSize;
      o.blockKiB = o.pageSize == 512 ? 16 : 128;
      o.multiRegion = !sample_args->verbatim;
      o.fsImages = sample_args->fsImages;
      o.dataBlocks = sample_args->dataBlocks;
      o.tagModulus = sample_args->tagModulus;
      if (sample_args->output.empty())
        std::printf("%s\n", pkg::SampleDescription(o).dump(2).c_str());
      else
        WriteChecked(pkg::BuildSamplePackage(o), sample_args->output);
    });
  });
}

void RegisterInfo(CLI::App* pkg) {
  auto info_path = std::make_shared<std::string>();
  auto* info = pkg->add_subcommand("info", "Show a package's layout and images, and whether it loads");
  info->footer("\n" + ExitCodeHelp({{kExitOk, "a firmware package that loads, with nothing that stops a download"},
                                     {kExitFailure, "the file could not be read"},
                                     {kExitUsage, "a bad argument"},
                                     {kExitPackage, "not a firmware package (or no file at all), or one that does not load or that a download would go wrong with"}}));
  info->add_option("package", *info_path, "Package file")->required()->type_name("FILE");
  info->callback([info_path] {
    PackageFile file;
    std::string why;
    if (!pkg::CheckPackageFileKind(*info_path, &why)) Fail(kExitPackage, "info: " + *info_path + ": " + why);
    if (!file.Open(*info_path, &why)) Fail(kExitFailure, "info: " + why);
    if (!pkg::LooksLikePackage(file.bytes()))
      Fail(kExitPackage, "info: " + *info_path + ": " + pkg::kNotAPackage);
    if (!pkg::DescribePackage(file.bytes(), std::cout)) {
      std::cout.flush();
      throw CLI::RuntimeError(kExitPackage);
    }
  });
}

}  // namespace

void RegisterPkgCommand(CLI::App& app) {
  auto* pkg = app.add_subcommand("pkg", "Build and inspect firmware packages");
  pkg->require_subcommand(1);
  pkg->footer("\nEach command's help tells what its exit codes mean there.\n\n" +
              ExitCodeHelp({{kExitOk, "done: the package written, or one that loads shown"},
                            {kExitFailure, "a file could not be read or written"},
                            {kExitUsage, "a bad argument, a wrong description, or an output that cannot be replaced"},
                            {kExitPackage, "not a package, or one that does not load or would not download"}}));
  RegisterBuild(pkg);
  RegisterSample(pkg);
  RegisterInfo(pkg);
}

}  // namespace vantrel::cli
