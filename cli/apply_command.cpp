// `vantrel apply`: runs a patch script over a folder with the installer's own patch worker.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "builder/code_page.h"
#include "builder/new_files.h"
#include "cli/command.h"
#include "cli/console.h"
#include "cli/progress.h"
#include "format/ansi_chars.h"
#include "format/file_format.h"
#include "patch/crc32.h"
#include "patch/fs.h"
#include "patch/patch_run.h"
#include "patch/result_log.h"

namespace vt {
namespace {

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
    "                     (a folder apart from DESTINATION: not in it, nor holding it)\n"
    "  --codepage N       the script's ANSI code page (as given to diff): names are shown, and\n"
    "                     given with --main-file, in UTF-8 (the log keeps the script's bytes)\n"
    "\n"
    "Standard output gets one line per entry when it is not a terminal, then a summary by\n"
    "outcome; a progress bar is drawn on standard error when that is a terminal. Ctrl+C,\n"
    "SIGTERM and SIGHUP stop the run after the current entry and roll back. A link in\n"
    "DESTINATION where the script names a file or folder is never written through: that entry\n"
    "is refused (\"access denied\" in the log). Paths are the system's own: where a backslash\n"
    "is a character of a name, a path keeps it (only the script's paths use it as a separator).\n"
    "Exit status: 0 complete, every entry updated, installed, overwritten or already updated;\n"
    "6 complete but some entries were skipped or failed, or backups could not be kept;\n"
    "1 unreadable PATCH.DAT, unusable DESTINATION or --keep-backup DIR (nothing changed), or a\n"
    "killed earlier run's files held by another program or denied (nothing applied); 2 wrong\n"
    "usage; 3 damaged script, 4 main file failed, 5 interrupted: 3 to 5 after rolling back.\n";

RunState* g_interruptedRun;

void OnInterrupt() {
  if (g_interruptedRun) CancelRun(g_interruptedRun);
}

// The outcomes the summary counts, by the engine's result for each entry, in the order the
// summary lists them. Results that the log tells apart no further share a line.
struct OutcomeKind {
  EntryResult results[2];
  const char* name;
  bool problem;  // the entry's file is not in its new version
};
const OutcomeKind kOutcomes[] = {
    {{kUpdated, kUpdated}, "updated", false},
    {{kInstalled, kInstalled}, "installed", false},
    {{kOverwritten, kOverwritten}, "overwritten", false},
    {{kAlreadyUpdated, kAlreadyUpdated}, "already updated", false},
    {{kOriginalMissing, kOriginalMissing}, "skipped, file missing", true},
    {{kOriginalCrcError, kOriginalCrcError}, "skipped, another version (CRC differs)", true},
    {{kAccessDenied, kReplaceDenied}, "skipped, access denied or a link", true},
    {{kUpdatedCrcError, kRestoreFailed}, "failed, rebuilt file wrong or not written", true},
    {{kDataError, kDataError}, "damaged", true},
};
const size_t kOutcomeCount = sizeof kOutcomes / sizeof kOutcomes[0];

struct ApplyProgress {
  bool listEntries;  // one line per entry on stdout
  Progress* bar;
  uint32_t count;
  const char* path;  // the current entry's, which the run holds while it applies it
  uint32_t outcomes[kOutcomeCount];
  // Entries whose old version went to the BackupDir, to check what --keep-backup kept.
  std::vector<std::string> backedUp;
};

void OnRange(void* context, uint32_t count) { static_cast<ApplyProgress*>(context)->count = count; }

void OnEntry(void* context, const char* path) { static_cast<ApplyProgress*>(context)->path = path; }

void OnPosition(void* context, uint32_t done) {
  const ApplyProgress* progress = static_cast<const ApplyProgress*>(context);
  if (progress->listEntries)
    printf("[%u/%u] %s\n", unsigned(done), unsigned(progress->count),
           Printable(ShownName(progress->path ? progress->path : "")).c_str());
  progress->bar->Update(done, progress->count, "entries");
}

// The run's end comes back from RunPatch as well, which Outcome takes.
void OnRunDone(void*, int32_t) {}

void LoadMessage(void*, uint32_t id, char* text, uint32_t size) {
  snprintf(text, size, "%s", BuiltInLogMessage(id));
}

// The summary counts each entry here, by the engine's result.
void OnEntryDone(void* context, const char* path, EntryResult result) {
  ApplyProgress* progress = static_cast<ApplyProgress*>(context);
  for (size_t i = 0; i < kOutcomeCount; ++i)
    if (kOutcomes[i].results[0] == result || kOutcomes[i].results[1] == result)
      ++progress->outcomes[i];
  // These moved the old file into the BackupDir.
  if ((result == kUpdated || result == kOverwritten) && path) progress->backedUp.push_back(path);
}

// The entries whose old version should be in `kept` and is not, as they are shown.
std::vector<std::string> NotKept(const ApplyProgress& progress, const std::string& kept) {
  std::vector<std::string> missing;
  std::error_code ec;
  for (const std::string& path : progress.backedUp) {
    std::string relative = path[0] == '\\' ? path.substr(1) : path;
    const std::string shown = ShownName(relative);
    std::replace(relative.begin(), relative.end(), '\\', '/');
    if (!std::filesystem::is_regular_file(std::filesystem::path(kept) / relative, ec))
      missing.push_back(shown);
  }
  return missing;
}

void PrintSummary(const ApplyProgress& progress, const std::string& destination,
                  const std::string& log) {
  uint32_t total = 0;
  for (uint32_t n : progress.outcomes) total += n;
  printf("applied %u entr%s to %s; results in %s\n", unsigned(total), total == 1 ? "y" : "ies",
         Quote(destination).c_str(), Quote(log).c_str());
  for (size_t i = 0; i < kOutcomeCount; ++i)
    if (progress.outcomes[i]) printf("  %6u %s\n", unsigned(progress.outcomes[i]), kOutcomes[i].name);
}

int Outcome(const std::string& destination, const std::string& kept, int32_t end,
            const ApplyProgress& progress) {
  const std::string log = (std::filesystem::path(destination) / kResultLogName).string();
  switch (end) {
    case kRunDestinationUnwritable:
      return Fail("cannot write the log or a backup folder in " + Quote(destination) +
                  "; nothing was changed");
    case kRunDestinationTooLong:
      return Fail("the script's paths are too long for " + Quote(destination) +
                  "; nothing was changed");
    case kRunRepairIncomplete:
      return Fail("an interrupted earlier run left files in " + Quote(destination) +
                  " that could not be put back (another program holds them, access is denied, "
                  "or that run had another --codepage); nothing applied; run again once they "
                  "are free (see " + Quote(log) + ")");
    case kRunScriptUnreadable:
      return Fail("the patch script is empty or cannot be read; nothing applied",
                  kExitScriptDamaged);
    case kRunCancelled:
      return Fail("interrupted; " + Quote(destination) + " rolled back (see " + Quote(log) + ")",
                  kExitInterrupted);
    case kRunMainFileFailed:
      return Fail("the main file could not be updated; " + Quote(destination) +
                      " rolled back (see " + Quote(log) + ")",
                  kExitMainFileFailed);
    case kRunDataError:
      return Fail("the patch script is damaged; " + Quote(destination) + " rolled back (see " +
                      Quote(log) + ")",
                  kExitScriptDamaged);
    default:
      break;
  }
  PrintSummary(progress, destination, log);
  uint32_t problems = 0, total = 0;
  for (size_t i = 0; i < kOutcomeCount; ++i) {
    total += progress.outcomes[i];
    if (kOutcomes[i].problem) problems += progress.outcomes[i];
  }
  if (problems)
    return Fail(std::to_string(problems) + " of " + std::to_string(total) +
                    " entries were skipped or failed (see " + Quote(log) + ")",
                kExitEntriesSkipped);
  const std::vector<std::string> notKept =
      kept.empty() ? std::vector<std::string>() : NotKept(progress, kept);
  if (!notKept.empty()) {
    // Named, a few at most: the user must know which copies to look for elsewhere.
    std::string names;
    for (size_t i = 0; i < notKept.size() && i < 3; ++i)
      names += (i ? ", " : "") + Quote(Printable(notKept[i]));
    if (notKept.size() > 3) names += ", ...";
    return Fail("the old versions of " + std::to_string(notKept.size()) +
                    " files could not be kept in " + Quote(kept) + ": " + names,
                kExitEntriesSkipped);
  }
  return kExitOk;
}

// True when `inner` is `outer` or lies below it, links resolved.
bool IsWithin(const std::filesystem::path& inner, const std::filesystem::path& outer) {
  std::error_code ec;
  const std::filesystem::path a =
      std::filesystem::weakly_canonical(std::filesystem::absolute(inner, ec), ec);
  if (ec) return false;
  const std::filesystem::path b =
      std::filesystem::weakly_canonical(std::filesystem::absolute(outer, ec), ec);
  if (ec) return false;
  auto at = a.begin();
  for (auto part = b.begin(); part != b.end(); ++part, ++at)
    if (part->empty() && std::next(part) == b.end()) break;  // a trailing separator
    else if (at == a.end() || *at != *part) return false;
  return true;
}

// The kept backups are an output of the run: in DESTINATION they would be copied over what
// the run has just written, and around it they would take in the run's own files.
bool KeptDirApart(const std::string& kept, const std::string& destination, std::string* error) {
  if (!IsWithin(kept, destination) && !IsWithin(destination, kept)) return true;
  *error = "cannot keep backups in " + Quote(kept) + ": it is DESTINATION " +
           Quote(destination) + " or lies in or around it; choose a folder apart";
  return false;
}

// Where a backslash is a character of a name, the engine, which takes it for a separator,
// reaches a command-line path that holds one by a name without one in a private folder: a
// link to the folder, or a second name of the script (a copy where the file system makes
// none). The folder goes at the end, links and names only, never what they lead to.
class PlainNames {
 public:
  ~PlainNames() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  // `arg` itself, or its plain name `name` in the private folder: a link to the folder `arg`,
  // which must exist, or a name of the file `arg`. False with *error.
  bool Reach(const std::string& arg, const char* name, bool file, std::string* path,
             std::string* error) {
    *path = arg;
    if (std::filesystem::path::preferred_separator == '\\' || arg.find('\\') == std::string::npos)
      return true;
    std::error_code ec;
    if (dir_.empty() && !MakeScratchDir("vantrel-apply-", &dir_)) {
      *error = "cannot make a private folder under the temporary folder for " + Quote(arg);
      return false;
    }
    const std::filesystem::path alias = std::filesystem::path(dir_) / name;
    const std::filesystem::path target = std::filesystem::absolute(arg, ec);
    if (!ec && file) {
      std::filesystem::create_hard_link(target, alias, ec);
      if (ec) std::filesystem::copy_file(target, alias, ec);
    } else if (!ec) {
      std::filesystem::create_directory_symlink(target, alias, ec);
    }
    if (ec) {
      *error = "cannot reach " + Quote(arg) + " by a name without a backslash: " + ec.message();
      return false;
    }
    *path = alias.string();
    return true;
  }

  // `path` (given by the engine) with the name of `alias` turned back into `arg`'s.
  static std::string Shown(const std::string& path, const std::string& alias,
                           const std::string& arg) {
    return path.compare(0, alias.size(), alias) == 0 ? arg + path.substr(alias.size()) : path;
  }

 private:
  std::string dir_;
};

// The folder must exist, or be made now, so that keeping backups cannot fail silently later.
bool PrepareKeptDir(const std::string& kept, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(kept, ec);
  if (std::filesystem::is_directory(kept, ec)) return true;
  *error = "cannot keep backups in " + Quote(kept) + ": it is not a folder and cannot be made one";
  return false;
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
  // The engine opens no file through a link; a script named through one is the user's choice.
  std::string scriptArg = parsed.operands[0];
  std::error_code linkError;
  if (std::filesystem::is_symlink(scriptArg, linkError))
    scriptArg = std::filesystem::canonical(scriptArg, linkError).string();
  PlainNames plain;
  std::string scriptPath;
  if (!plain.Reach(scriptArg, "Patch.dat", true, &scriptPath, &error))
    return Fail("cannot read " + Quote(parsed.operands[0]));
  const bool keep = parsed.values.count("--keep-backup") != 0;
  const std::string& destinationArg = parsed.operands[1];
  const std::string& keptArg = parsed.values["--keep-backup"];
  const struct {
    const std::string& arg;
    std::string* ansi;
    bool path;
  } kArgs[] = {{scriptPath, &script, true},
               {destinationArg, &destination, true},
               {parsed.values["--main-file"], &mainFile, false},
               {keptArg, &kept, true}};
  for (const auto& a : kArgs) {
    const std::string arg =
        a.path && !a.arg.empty() ? std::filesystem::path(a.arg).make_preferred().string() : a.arg;
    if (!CommandLineToAnsi(arg, a.ansi))
      return Fail(Quote(a.arg) + ": code page " + std::to_string(codePage) +
                  " cannot hold the name");
  }
  const std::string shownDestination = ShownName(destination);
  if (!kept.empty() && !EndsWithSeparator(kept.c_str()))
    kept += char(std::filesystem::path::preferred_separator);
  // Room below DESTINATION for the log and the backup folder's name.
  if (destination.empty() || destination.size() > kMaxPath - 16)
    return Fail(Quote(destinationArg) + ": DESTINATION must be 1 to " +
                std::to_string(kMaxPath - 16) + " characters");
  if (script.size() > kMaxPath || kept.size() > kMaxPath || (keep && kept.empty()))
    return Fail("PATCH.DAT and DIR must be 1 to " + std::to_string(kMaxPath) + " characters");
  // A script that cannot be read is a mistake on the command line: refuse it before the run
  // creates the log and touches DESTINATION.
  FsFile probe = FsOpen(script.c_str(), kFsReadShared, nullptr);
  if (probe == kNoFile) return Fail("cannot read " + Quote(parsed.operands[0]));
  FsClose(probe);
  if (keep && (!KeptDirApart(keptArg, destinationArg, &error) || !PrepareKeptDir(kept, &error)))
    return Fail(error);
  // A folder reached by a link must exist; the run would make DESTINATION in any case.
  std::string destinationPath, keptPath;
  std::error_code made;
  if (destinationArg.find('\\') != std::string::npos)
    std::filesystem::create_directories(destinationArg, made);
  if (!plain.Reach(destinationArg, "d", false, &destinationPath, &error) ||
      (keep && !plain.Reach(keptArg, "k", false, &keptPath, &error)))
    return Fail(error);
  if (destinationPath != destinationArg) destination = destinationPath;
  if (keep && keptPath != keptArg) kept = keptPath + char(std::filesystem::path::preferred_separator);
  // The engine would not open the log through a link and lose its lines silently.
  const std::filesystem::path log = std::filesystem::path(destination) / kResultLogName;
  std::error_code ec;
  if (std::filesystem::is_symlink(log, ec))
    return Fail(Quote(log.string()) + " is a link; apply writes no file through a link");

  BuildCrcTable();
  Progress bar("apply");
  ApplyProgress progress = {!IsTerminal(1), &bar, 0, nullptr, {}, {}};
  RunState run = {};
  run.keepBackup = keep ? 1 : 0;
  run.destinationDir = destination.c_str();
  run.keptBackupDir = kept.c_str();
  run.scriptPath = script.c_str();
  run.mainFile = mainFile.c_str();
  run.observer = {OnRange, OnPosition, OnEntry, OnEntryDone, nullptr, OnRunDone, &progress};
  run.loadMessage = LoadMessage;
  run.messageContext = &progress;
  run.state = kRunInProgress;

  // Ctrl+C and the signals that end a process do what the installer's Cancel button does: the
  // entry being applied completes, then the run stops and rolls back.
  g_interruptedRun = &run;
  CatchInterrupt(OnInterrupt);
  char left[kMaxPath + 1];
  const int32_t end = RunPatch(&run, left);
  ReleaseInterrupt();
  g_interruptedRun = nullptr;
  bar.End();

  if (left[0] != 0)
    Warn("some files could not be put back; their old versions are in " +
         Quote(PlainNames::Shown(ShownName(left), ShownName(destination), shownDestination)));
  return Outcome(shownDestination, kept, end, progress);
}

}  // namespace

const Command kApplyCommand = {"apply", "apply a patch script to a folder, with rollback",
                               kApplyHelp, RunApply};

}  // namespace vt
