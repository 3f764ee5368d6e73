// `vantrel apply`: runs a patch script over a folder with the installer's own patch worker.
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <string>

#include "cli/code_page.h"
#include "cli/command.h"
#include "cli/console.h"
#include "format/ansi_chars.h"
#include "format/file_format.h"
#include "patch/crc32.h"
#include "patch/fs.h"
#include "patch/patch_run.h"
#include "patch/result_log.h"

namespace vt {
namespace {

// Exit statuses of apply beyond those every command shares, one per failing run state.
enum ApplyExit {
  kExitScriptDamaged = 3,   // state -2: the script is damaged or empty; rolled back
  kExitMainFileFailed = 4,  // state -1: the main file could not be updated; rolled back
  kExitCancelled = 5,       // state 0: interrupted (Ctrl+C); rolled back
};

const char kApplyHelp[] =
    "usage: vantrel apply PATCH.DAT DESTINATION [--main-file NAME] [--keep-backup DIR]\n"
    "                     [--codepage N]\n"
    "\n"
    "Applies the patch script PATCH.DAT to the folder DESTINATION exactly as the installer\n"
    "does: each entry creates, overwrites or rebuilds one file, every rebuilt file is checked\n"
    "by its CRC, every replaced file is backed up, and Vantrel.log in DESTINATION gets one line\n"
    "per entry. A damaged script, a failure of the main file or Ctrl+C (which stops after the\n"
    "current entry) rolls DESTINATION back: replaced files get their old content again; new\n"
    "files, new folders and the log stay. What a killed earlier run left in DESTINATION is put\n"
    "back first, with a line for it in the log.\n"
    "\n"
    "  --main-file NAME   the package's main file: when it cannot be updated the run fails\n"
    "                     (only its file name counts, in any folder, ignoring case)\n"
    "  --keep-backup DIR  after a complete run, copy the replaced files' old versions to DIR\n"
    "  --codepage N       the script's ANSI code page (as given to diff): names are shown, and\n"
    "                     given with --main-file, in UTF-8 (the log keeps the script's bytes)\n"
    "\n"
    "Progress goes to standard output: a bar on a terminal, otherwise one line per entry.\n"
    "Exit status: 0 complete (skipped files are listed in the log), 1 unreadable PATCH.DAT or\n"
    "unusable DESTINATION (nothing changed) or a killed earlier run's files held by another\n"
    "program (nothing applied), 2 wrong usage, 3 damaged script, 4 main file failed,\n"
    "5 interrupted; 3 to 5 after rolling back.\n";

const int kBarWidth = 30;

RunState* g_interruptedRun;

void OnInterrupt() {
  if (g_interruptedRun) StoreRunState(g_interruptedRun, kRunCancelled);
}

struct ApplyProgress {
  bool terminal;
  uint32_t count;
  const char* path;  // the current entry's, inside the mapped script
  int32_t finalState;
  bool done;
};

void OnRange(void* context, uint32_t count) { static_cast<ApplyProgress*>(context)->count = count; }

void OnEntry(void* context, const char* path) { static_cast<ApplyProgress*>(context)->path = path; }

void OnPosition(void* context, uint32_t done) {
  const ApplyProgress* progress = static_cast<const ApplyProgress*>(context);
  const std::string shown = ShownName(progress->path ? progress->path : "");
  const char* path = shown.c_str();
  if (!progress->terminal) {
    printf("[%u/%u] %s\n", unsigned(done), unsigned(progress->count), path);
    return;
  }
  int filled = progress->count ? int(uint64_t(done) * kBarWidth / progress->count) : kBarWidth;
  size_t length = strlen(path);
  const char* tail = length > 40 ? path + length - 40 : path;
  printf("\r[%.*s%.*s] %u/%u %-40s", filled, "##############################", kBarWidth - filled,
         "..............................", unsigned(done), unsigned(progress->count), tail);
  fflush(stdout);
}

void OnRunDone(void* context, int32_t state) {
  ApplyProgress* progress = static_cast<ApplyProgress*>(context);
  progress->finalState = state;
  progress->done = true;
  if (progress->terminal) printf("\n");
}

void LoadMessage(void*, uint32_t id, char* text, uint32_t size) {
  snprintf(text, size, "%s", BuiltInLogMessage(id));
}

int Outcome(const std::string& destination, RunEnd end, int32_t state, uint32_t count) {
  const std::string log =
      "'" + (std::filesystem::path(destination) / kResultLogName).string() + "'";
  if (end == kRunNoBackupDir)
    return Fail("cannot write the log or a backup folder in '" + destination +
                "'; nothing was changed");
  if (end == kRunPathsTooLong)
    return Fail("the script's paths are too long for '" + destination + "'; nothing was changed");
  if (end == kRunRepairIncomplete)
    return Fail("an interrupted earlier run left files in '" + destination +
                "' that cannot be put back while another program holds them; nothing applied (see " +
                log + ")");
  if (end == kRunScriptUnreadable) {
    fprintf(stderr, "vantrel: the patch script is empty or cannot be mapped; nothing applied\n");
    return kExitScriptDamaged;
  }
  switch (state) {
    case kRunCancelled:
      fprintf(stderr, "vantrel: interrupted; '%s' rolled back (see %s)\n", destination.c_str(),
              log.c_str());
      return kExitCancelled;
    case kRunMainFileFailed:
      fprintf(stderr, "vantrel: the main file could not be updated; '%s' rolled back (see %s)\n",
              destination.c_str(), log.c_str());
      return kExitMainFileFailed;
    case kRunDataError:
      fprintf(stderr, "vantrel: the patch script is damaged; '%s' rolled back (see %s)\n",
              destination.c_str(), log.c_str());
      return kExitScriptDamaged;
    default:
      printf("applied %u entr%s to '%s'; results in %s\n", unsigned(count),
             count == 1 ? "y" : "ies", destination.c_str(), log.c_str());
      return kExitOk;
  }
}

int RunApply(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {{"--main-file", nullptr}, {"--keep-backup", nullptr},
                        {"--codepage", nullptr}}, &parsed, &error))
    return FailUsage(kApplyCommand, error);
  unsigned codePage;
  if (!ParseCodePage(parsed.values["--codepage"], &codePage, &error))
    return FailUsage(kApplyCommand, error);
  if (!EngineTakesCodePage(&error)) return Fail(error);
  if (parsed.operands.size() != 2)
    return FailUsage(kApplyCommand, "give PATCH.DAT and DESTINATION");
  // Windows calls take '/' in most places, but not the one that makes missing folders: every
  // path goes to the engine with the system's own separator, and in the script's code page.
  std::string script, destination, mainFile, kept;
  const bool keep = parsed.values.count("--keep-backup") != 0;
  const struct {
    const std::string& arg;
    std::string* ansi;
    bool path;
  } kArgs[] = {{parsed.operands[0], &script, true},
               {parsed.operands[1], &destination, true},
               {parsed.values["--main-file"], &mainFile, false},
               {parsed.values["--keep-backup"], &kept, true}};
  for (const auto& a : kArgs) {
    const std::string arg =
        a.path && !a.arg.empty() ? std::filesystem::path(a.arg).make_preferred().string() : a.arg;
    if (!CommandLineToAnsi(arg, a.ansi))
      return Fail("'" + a.arg + "': code page " + std::to_string(codePage) +
                  " cannot hold the name");
  }
  if (!kept.empty() && !EndsWithSeparator(kept.c_str()))
    kept += char(std::filesystem::path::preferred_separator);
  // Room below DESTINATION for the log and the backup folder's name.
  if (destination.empty() || destination.size() > kMaxPath - 16)
    return Fail("'" + parsed.operands[1] + "': DESTINATION must be 1 to " +
                std::to_string(kMaxPath - 16) + " characters");
  if (script.size() > kMaxPath || kept.size() > kMaxPath || (keep && kept.empty()))
    return Fail("PATCH.DAT and DIR must be 1 to " + std::to_string(kMaxPath) + " characters");
  // A script that cannot be read is a mistake on the command line: refuse it before the run
  // creates the log and touches DESTINATION.
  FsFile probe = FsOpen(script.c_str(), kFsReadShared, nullptr);
  if (probe == kNoFile) return Fail("cannot read '" + parsed.operands[0] + "'");
  FsClose(probe);

  BuildCrcTable();
  ApplyProgress progress = {IsTerminal(1), 0, nullptr, kRunInProgress, false};
  RunState run = {};
  run.keepBackup = keep ? 1 : 0;
  run.destinationDir = destination.c_str();
  run.keptBackupDir = kept.c_str();
  run.scriptPath = script.c_str();
  run.mainFile = mainFile.c_str();
  run.observer = {OnRange, OnPosition, OnEntry, nullptr, OnRunDone, &progress};
  run.loadMessage = LoadMessage;
  run.state = kRunInProgress;

  // Ctrl+C does what the installer's Cancel button does: the entry being applied completes,
  // then the run stops and rolls back.
  g_interruptedRun = &run;
  CatchInterrupt(OnInterrupt);
  char left[kMaxPath + 1];
  const RunEnd end = RunPatch(&run, left);
  ReleaseInterrupt();
  g_interruptedRun = nullptr;

  if (left[0] != 0)
    Warn(std::string("some files could not be put back; their old versions are in '") + left +
         "'");
  return Outcome(ShownName(destination), end, progress.finalState, progress.count);
}

}  // namespace

const Command kApplyCommand = {"apply", "apply a patch script to a folder, with rollback",
                               kApplyHelp, RunApply};

}  // namespace vt
