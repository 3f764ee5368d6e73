// Verification of a patch script by applying it with the engine to scratch copies.
#include "builder/patch_verify.h"

#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <system_error>

#include "builder/file_bytes.h"
#include "builder/installer_pack.h"
#include "builder/new_files.h"
#include "builder/payload_check.h"
#include "builder/payload_writer.h"
#include "builder/quote.h"
#include "builder/script_entries.h"
#include "builder/tree_diff.h"
#include "format/ansi_chars.h"
#include "format/file_format.h"
#include "format/file_names.h"
#include "format/payload_reader.h"
#include "patch/apply_entry.h"
#include "patch/crc32.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

bool Stopped(const std::atomic<bool>* stop) { return stop && *stop; }

// One entry's result in one pass, with its kind from the script's listing.
struct Applied {
  std::string path;
  bool update = false;  // an update entry's own file
  std::string source;   // an entry built from another file: that file
  EntryResult result = kDataError;
};

std::string Hex(uint32_t v) {
  char text[16];
  snprintf(text, sizeof text, "0x%04X", unsigned(v));
  return text;
}

// What the three passes share: the script, its entries as the engine reads them, the folders
// and the scratch folder that holds each pass's copy.
struct Check {
  const std::vector<uint8_t>& script;
  const ScriptListing& listing;
  const std::string& oldDir;
  const std::string& newDir;
  fs::path scratch;
  const std::atomic<bool>* stop;
  VerifyReport* report;
};

// Applies every entry to `dest`; false (with a problem line) when the script is damaged.
bool ApplyAll(const Check& check, const std::string& dest, const char* backup, const char* pass,
              std::vector<Applied>* applied) {
  VerifyReport* report = check.report;
  uint32_t count = 0;
  ScriptCursor cursor;
  if (!BeginScript(check.script.data(), check.script.size(), &count, &cursor)) {
    report->problems.push_back("the script is shorter than its entry count");
    return false;
  }
  const std::string backupDir = (check.scratch / backup).string();
  ApplyContext context = {dest.c_str(), backupDir.c_str(), {nullptr, nullptr}};
  for (uint32_t i = 0; i < count; ++i) {
    if (Stopped(check.stop)) return false;
    Applied entry;
    const char* path = nullptr;
    entry.result = ApplyEntry(context, &cursor, &path);
    entry.path = path ? path : "?";
    // Any other result means the engine read the entry whole, as the listing did.
    if (entry.result == kDataError || i >= check.listing.entries.size()) {
      report->problems.push_back(std::string(pass) + ": entry " + std::to_string(i + 1) + " (" +
                                 Quote(entry.path) + ") is damaged (DataError)");
      return false;
    }
    const ScriptEntry& listed = check.listing.entries[i];
    entry.update = !listed.newFile && !listed.from;
    entry.source = listed.source;
    applied->push_back(entry);
  }
  // After the last entry: nothing, or in a script with split bodies the two streams, whose every
  // byte the entries took, and the trailer.
  const ScriptListing& listing = check.listing;
  if (listing.streams && cursor.at > listing.addStream) {
    report->problems.push_back("the script's last entry runs into the streams of its split "
                               "bodies");
    return false;
  }
  const size_t trailing = listing.streams ? listing.trailing : cursor.size - cursor.at;
  if (trailing != 0) {
    report->problems.push_back("the script has " + std::to_string(trailing) +
                               " bytes after its last entry" +
                               (listing.streams ? " that its split bodies do not take" : ""));
    return false;
  }
  return true;
}

// A user's folder copied with std::filesystem: its names are the system's own, not the
// installer's backslash paths that patch/dir_tree walks. `from` itself may be a link to a
// folder, which is followed as diff follows it; links inside it are passed over.
bool CopyIntoScratch(const std::string& from, const std::string& to, std::string* error) {
  std::error_code ec;
  fs::create_directories(to, ec);
  const fs::path folder = ec ? fs::path(from) : fs::canonical(from, ec);
  if (!ec)
    fs::copy(folder, to, fs::copy_options::recursive | fs::copy_options::skip_symlinks, ec);
  if (ec) {
    *error = "cannot copy " + Quote(from) + " to a scratch folder: " + ec.message();
    return false;
  }
  return true;
}

// Compares `dest` with the files of `expected`: every one equal, and nothing else present but
// files that `allowed` holds (files only in OLD stay, nothing else may appear).
void CompareTree(const std::string& dest, const std::string& expected, const std::string& allowed,
                 const char* pass, VerifyReport* report) {
  std::vector<std::string> paths;
  std::string error;
  if (!ListTree(expected, &paths, &error)) {
    report->problems.push_back(error);
    return;
  }
  for (const std::string& p : paths) {
    std::vector<uint8_t> want, got;
    if (!ReadFileBytes(NativePath(expected, p), &want, &error)) {
      report->problems.push_back(error);
      continue;
    }
    if (!ReadFileBytes(NativePath(dest, p), &got, &error) || got != want)
      report->problems.push_back(std::string(pass) + ": " + Quote(p) + " differs from " +
                                 Quote(NativePath(expected, p)));
  }
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dest, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const fs::path relative = fs::relative(it->path(), dest, ec);
    if (!fs::exists(fs::path(expected) / relative) && !fs::exists(fs::path(allowed) / relative))
      report->problems.push_back(std::string(pass) + ": stray file " + Quote(relative.string()));
  }
}

// Makes each updated file, and each file an entry is built from, a version of its own: the old
// bytes plus one (a source that several entries read gets one more for each).
bool MakeForeign(const std::string& dest, const ScriptListing& listing, std::string* error) {
  for (const ScriptEntry& entry : listing.entries) {
    if (entry.newFile) continue;
    std::vector<uint8_t> bytes;
    const std::string path = NativePath(dest, entry.from ? entry.source : entry.path);
    if (!ReadFileBytes(path, &bytes, error)) return false;
    bytes.push_back('!');
    if (!WriteFileBytes(path, bytes, error)) return false;
  }
  return true;
}

void Expect(const Applied& entry, EntryResult want, const char* pass, VerifyReport* report) {
  if (entry.result != want)
    report->problems.push_back(std::string(pass) + ": " + Quote(entry.path) + " gave result " +
                               Hex(entry.result) + ", expected " + Hex(want));
}

// 1. A user with OLD: every entry must succeed and the result be NEW. False with *error when
// the copy of OLD cannot be made.
bool PassOnOld(const Check& check, std::string* error) {
  const char* const pass = "on OLD";
  const std::string dest = (check.scratch / "old").string();
  VerifyReport* report = check.report;
  std::vector<Applied> applied;
  if (!CopyIntoScratch(check.oldDir, dest, error)) return false;
  if (!ApplyAll(check, dest, "backup1", pass, &applied)) return true;
  report->entries = applied.size();
  std::error_code ec;
  for (const Applied& entry : applied) {
    if (entry.update) {
      ++report->updateEntries;
      Expect(entry, kUpdated, pass, report);
      report->updated += entry.result == kUpdated;
    } else {
      ++(entry.source.empty() ? report->newFileEntries : report->fromEntries);
      // A file whose old and new CRC agree is carried whole and overwrites the old one.
      const bool existed = fs::exists(NativePath(check.oldDir, entry.path), ec);
      Expect(entry, existed ? kOverwritten : kInstalled, pass, report);
      report->installed += entry.result == kInstalled || entry.result == kOverwritten;
    }
  }
  CompareTree(dest, check.newDir, check.oldDir, pass, report);
  return true;
}

// 2. A user who already has NEW: update entries skip, new-file entries rewrite the same bytes, as
// entries built from another file do where NEW holds that file; where it does not, they skip.
bool PassOnNew(const Check& check, std::string* error) {
  const char* const pass = "on NEW";
  const std::string dest = (check.scratch / "new").string();
  VerifyReport* report = check.report;
  std::vector<Applied> applied;
  if (!CopyIntoScratch(check.newDir, dest, error)) return false;
  if (!ApplyAll(check, dest, "backup2", pass, &applied)) return true;
  std::error_code ec;
  for (const Applied& entry : applied) {
    const bool sourceMissing =
        !entry.source.empty() && !fs::exists(NativePath(check.newDir, entry.source), ec);
    Expect(entry, entry.update ? kAlreadyUpdated : sourceMissing ? kOriginalMissing : kOverwritten,
           pass, report);
    report->alreadyUpdated += entry.result == kAlreadyUpdated;
    report->overwritten += entry.result == kOverwritten;
    report->originalMissing += entry.result == kOriginalMissing;
  }
  CompareTree(dest, check.newDir, check.newDir, pass, report);
  return true;
}

// 3. A user with some other version of each updated file and of each file an entry is built
// from: those entries are skipped, their files untouched (an entry's own file not made).
bool PassOnForeign(const Check& check, std::string* error) {
  const char* const pass = "on a foreign version";
  const std::string dest = (check.scratch / "foreign").string();
  VerifyReport* report = check.report;
  std::vector<Applied> applied;
  if (!CopyIntoScratch(check.oldDir, dest, error) || !MakeForeign(dest, check.listing, error))
    return false;
  if (!ApplyAll(check, dest, "backup3", pass, &applied)) return true;
  std::error_code ec;
  for (const Applied& entry : applied) {
    if (!entry.update && entry.source.empty()) continue;
    Expect(entry, kOriginalCrcError, pass, report);
    report->originalCrcError += entry.result == kOriginalCrcError;
    std::vector<uint8_t> bytes;
    std::string readError;
    const std::string& foreign = entry.update ? entry.path : entry.source;
    if (ReadFileBytes(NativePath(dest, foreign), &bytes, &readError) &&
        (bytes.empty() || bytes.back() != '!'))
      report->problems.push_back(std::string(pass) + ": " + Quote(foreign) + " was changed");
    if (!entry.update && fs::exists(NativePath(dest, entry.path), ec) &&
        !fs::exists(NativePath(check.oldDir, entry.path), ec))
      report->problems.push_back(std::string(pass) + ": " + Quote(entry.path) + " was made");
  }
  return true;
}

// Each pass runs only while the ones before it found no fault and no stop came.
bool VerifyInScratch(const std::vector<uint8_t>& script, const std::string& oldDir,
                     const std::string& newDir, const std::atomic<bool>* stop,
                     VerifyReport* report, std::string* error) {
  // Both folders as diff reads them, so that what it refuses is refused here by name too.
  std::vector<std::string> paths;
  if (!ListOldTree(oldDir, &paths, error) || !ListTree(newDir, &paths, error)) return false;
  std::string scratch;
  if (!MakeScratchDir("vantrel-verify-", &scratch)) {
    *error = "cannot make a scratch folder under the temporary folder";
    return false;
  }
  ScriptListing listing;
  ListScriptEntries(script, &listing);
  for (size_t i = 0; i < listing.entries.size(); ++i) {
    // The first folder or file of the path; a backslash inside a double-byte character only
    // cuts off a name that is not the log's anyway.
    const std::string& path = listing.entries[i].path;
    const size_t from = path.compare(0, 1, "\\") == 0 ? 1 : 0;
    const std::string top = path.substr(from, path.find('\\', from) - from);
    if (SameFileName(top.c_str(), VT_RESULT_LOG_NAME))
      report->problems.push_back("entry " + std::to_string(i + 1) + " (" + Quote(path) +
                                 ") is in the place of " VT_RESULT_LOG_NAME
                                 ", the log that every run writes, and no run installs it");
  }
  const Check check = {script, listing, oldDir, newDir, scratch, stop, report};
  bool (*const passes[])(const Check&, std::string*) = {PassOnOld, PassOnNew, PassOnForeign};
  bool ok = true;
  for (auto pass : passes) {
    if (!report->problems.empty()) break;
    ok = pass(check, error);
    if (!ok || !report->problems.empty() || Stopped(stop)) break;
  }
  std::error_code ec;
  fs::remove_all(scratch, ec);
  return ok;
}

}  // namespace

namespace {

// The last record named Patch.dat in any case: the stub writes every record in turn and Windows
// ignores case, so that is the script it runs. False with *error when there is none.
bool FindPatchDatRecord(const std::vector<uint8_t>& block2, FileRecord* script,
                        std::string* error) {
  *script = FileRecord();
  WalkRecords(block2.data(), block2.size(), [](const FileRecord& record, void* context) {
    if (SameFileName(record.name, kPatchRecordName))
      *static_cast<FileRecord*>(context) = record;
    return true;
  }, script);
  if (!script->name) {
    *error = "block 2 holds no " + std::string(kPatchRecordName);
    return false;
  }
  return true;
}

}  // namespace

bool FindPatchDat(const std::vector<uint8_t>& block2, std::vector<uint8_t>* patchDat,
                  std::string* error) {
  FileRecord script;
  if (!FindPatchDatRecord(block2, &script, error)) return false;
  patchDat->assign(script.data, script.data + script.size);
  return true;
}

bool NarrowToPatchDat(std::vector<uint8_t>* block2, std::string* error) {
  FileRecord script;
  if (!FindPatchDatRecord(*block2, &script, error)) return false;
  const size_t from = size_t(script.data - block2->data());
  block2->erase(block2->begin(), block2->begin() + ptrdiff_t(from));
  block2->resize(script.size);
  return true;
}

bool ExtractPatchDat(const std::vector<uint8_t>& installer, std::vector<uint8_t>* patchDat,
                     std::string* error) {
  std::vector<uint8_t> raw;
  return ReadInstallerBlock(installer, kPatchDataBlock, &raw, error) &&
         FindPatchDat(raw, patchDat, error);
}

bool VerifyScript(const std::vector<uint8_t>& script, const std::string& oldDir,
                  const std::string& newDir, VerifyReport* report, std::string* error,
                  const std::atomic<bool>* stop) {
  BuildCrcTable();
  bool ok = VerifyInScratch(script, oldDir, newDir, stop, report, error);
  if (Stopped(stop)) {
    report->interrupted = true;
    *error = "interrupted; the scratch copies are removed";
    ok = false;
  }
  return ok;
}

bool VerifyInstaller(const uint8_t* image, size_t imageSize, FileMap* mapped,
                     const std::string& name, const std::string& oldDir,
                     const std::string& newDir, VerifyReport* report, std::string* error,
                     const std::atomic<bool>* stop) {
  // The stub unpacks the setup files first and stops where it refuses them; their bytes are
  // given back before block 2's are unpacked, which are then narrowed to the script in place.
  std::vector<uint8_t> script;
  if (!ReadInstallerBlock(image, imageSize, kSetupDataBlock, &script, error, nullptr, mapped) ||
      !ReadInstallerBlock(image, imageSize, kPatchDataBlock, &script, error, nullptr, mapped) ||
      !NarrowToPatchDat(&script, error)) {
    *error = Quote(name) + ": " + *error;
    return false;
  }
  if (!VerifyScript(script, oldDir, newDir, report, error, stop)) return false;
  // The engine here runs every operation; the installer's own stub must too.
  const std::vector<uint8_t> stub(
      image, image + std::min<size_t>(imageSize, FindStubSize(image, imageSize)));
  std::string pairing;
  if (!CheckStubRunsScript(stub, script, &pairing)) report->problems.push_back(pairing);
  return true;
}

bool VerifyInstaller(const std::vector<uint8_t>& installer, const std::string& name,
                     const std::string& oldDir, const std::string& newDir, VerifyReport* report,
                     std::string* error, const std::atomic<bool>* stop) {
  return VerifyInstaller(installer.data(), installer.size(), nullptr, name, oldDir, newDir,
                         report, error, stop);
}

}  // namespace vt
