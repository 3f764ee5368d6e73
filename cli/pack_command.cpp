// `vantrel pack`: an installer from a stub, a folder of setup files and a Patch.dat.
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "cli/command.h"
#include "cli/file_bytes.h"
#include "cli/payload_writer.h"
#include "format/file_format.h"
#include "format/name_rules.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

const char kPackHelp[] =
    "usage: vantrel pack --stub STUB.exe --setup DIR --patch Patch.dat -o INSTALLER.exe\n"
    "\n"
    "Makes an installer: the stub padded with zeros to 34816 bytes, then block 1 with every\n"
    "file of DIR (sorted by name) and block 2 with the patch script, stored as \"Patch.dat\";\n"
    "both blocks are compressed with bzip2, block size 9.\n"
    "\n"
    "options:\n"
    "  --stub FILE          the installer stub, a Windows program of at most 34816 bytes\n"
    "  --setup DIR          the setup files: Update.ini, License.txt, Guide.txt, Readme.txt,\n"
    "                       Package.bmp, Splash.bmp and an optional Language.ini; plain files\n"
    "                       with plain names only, no folders; a copy of the patch script\n"
    "                       there is left out, any other Patch.dat refused\n"
    "  --patch FILE         the patch script\n"
    "  -o, --output FILE    the installer to write; an existing file is replaced\n";

// The files the installer opens from block 1; Language.ini is optional.
const char* const kExpectedSetupFiles[] = {"Update.ini", "License.txt", "Guide.txt",
                                           "Readme.txt", "Package.bmp", "Splash.bmp"};

// Lists DIR's entries sorted by name and reads each; refuses anything but plain files with
// plain names so that what lands in the WorkDir is exactly the folder's files.
bool ReadSetupFolder(const std::string& dir, std::vector<PayloadFile>* files, std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    *error = "setup folder '" + dir + "' is not a folder" + (ec ? ": " + ec.message() : "");
    return false;
  }
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    entries.push_back(it->path());
  if (ec) {
    *error = "cannot list setup folder '" + dir + "': " + ec.message();
    return false;
  }
  std::sort(entries.begin(), entries.end(), [](const fs::path& a, const fs::path& b) {
    return a.filename().string() < b.filename().string();
  });
  for (const fs::path& entry : entries) {
    const std::string name = entry.filename().string();
    const fs::file_status status = fs::status(entry, ec);
    if (fs::is_directory(status)) {
      *error =
          "setup folder '" + dir + "' holds the folder '" + name + "'; only files go into block 1";
      return false;
    }
    if (!fs::is_regular_file(status)) {
      *error = "setup file '" + entry.string() + "' is not a regular file";
      return false;
    }
    if (!CheckSetupFileName(name, error)) return false;
    PayloadFile file;
    file.name = name;
    if (!ReadFileBytes(entry.string(), &file.data, error)) return false;
    files->push_back(std::move(file));
  }
  return true;
}

void WarnAboutMissingFiles(const std::string& dir, const std::vector<PayloadFile>& files) {
  std::string missing;
  for (const char* expected : kExpectedSetupFiles) {
    const bool found = std::any_of(files.begin(), files.end(), [&](const PayloadFile& file) {
      return SameNameIgnoringCase(file.name.c_str(), expected);
    });
    if (!found) missing += (missing.empty() ? "" : ", ") + std::string(expected);
  }
  if (!missing.empty())
    Warn("setup folder '" + dir + "' lacks " + missing + "; the installer expects them");
}

int RunPack(const std::vector<std::string>& args) {
  const std::vector<OptionSpec> options = {
      {"--stub", nullptr}, {"--setup", nullptr}, {"--patch", nullptr}, {"--output", "-o"}};
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, options, &parsed, &error)) return FailUsage(kPackCommand, error);
  if (!parsed.operands.empty())
    return FailUsage(kPackCommand, "unexpected argument '" + parsed.operands[0] + "'");
  for (const OptionSpec& option : options)
    if (!parsed.values.count(option.name))
      return FailUsage(kPackCommand, "missing " + std::string(option.name));
  const std::string& stubPath = parsed.values["--stub"];
  const std::string& setupDir = parsed.values["--setup"];
  const std::string& patchPath = parsed.values["--patch"];
  const std::string& outPath = parsed.values["--output"];

  std::vector<uint8_t> stub;
  if (!ReadFileBytes(stubPath, &stub, &error)) return Fail(error);
  // A stub that is not a Windows program usually means swapped arguments.
  if (stub.size() < 2 || stub[0] != 'M' || stub[1] != 'Z')
    return Fail("stub '" + stubPath + "' is not a Windows program (no \"MZ\" header)");
  std::vector<PayloadFile> setupFiles;
  if (!ReadSetupFolder(setupDir, &setupFiles, &error)) return Fail(error);
  std::vector<uint8_t> patchDat;
  if (!ReadFileBytes(patchPath, &patchDat, &error)) return Fail(error);
  // A package folder often keeps its Patch.dat beside the setup files; block 2 carries it, so a
  // copy of the --patch file stays out of block 1 (any other Patch.dat is refused below).
  setupFiles.erase(std::remove_if(setupFiles.begin(), setupFiles.end(),
                                  [&](const PayloadFile& file) {
                                    return SameNameIgnoringCase(file.name.c_str(),
                                                                kPatchRecordName) &&
                                           file.data == patchDat;
                                  }),
                   setupFiles.end());
  WarnAboutMissingFiles(setupDir, setupFiles);

  std::vector<uint8_t> installer;
  if (!BuildInstaller(stub, setupFiles, patchDat, &installer, &error)) return Fail(error);
  if (!WriteFileBytes(outPath, installer, &error)) return Fail(error);

  const uint32_t length1 = ReadLe32(installer.data() + kStubSize);
  const uint32_t length2 = ReadLe32(installer.data() + kStubSize + 4 + length1);
  printf(
      "wrote %s: %zu bytes: stub %u, block 1 (%zu setup files) stored length %u, "
      "block 2 (%s, %zu bytes) stored length %u\n",
      outPath.c_str(), installer.size(), unsigned(kStubSize), setupFiles.size(), unsigned(length1),
      kPatchRecordName, patchDat.size(), unsigned(length2));
  return kExitOk;
}

}  // namespace

const Command kPackCommand = {
    "pack", "make an installer from a stub, a folder of setup files and a Patch.dat", kPackHelp,
    RunPack};

}  // namespace vt
