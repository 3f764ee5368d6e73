// Verification of a patch script by applying it with the engine to scratch copies.
#include "builder/patch_verify.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <system_error>

#include "builder/file_bytes.h"
#include "builder/installer_pack.h"
#include "builder/new_files.h"
#include "builder/payload_check.h"
#include "builder/payload_writer.h"
#include "builder/quote.h"
#include "builder/tree_diff.h"
#include "format/ansi_chars.h"
#include "format/file_format.h"
#include "format/payload_reader.h"
#include "patch/apply_entry.h"
#include "patch/crc32.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

bool Stopped(const std::atomic<bool>* stop) { return stop && *stop; }

struct Applied {
  std::string path;
  bool update = false;
  EntryResult result = kDataError;
};

std::string Hex(uint32_t v) {
  char text[16];
  snprintf(text, sizeof text, "0x%04X", unsigned(v));
  return text;
}

// Applies every entry; false (with a problem line) when the script is damaged.
bool ApplyAll(const std::vector<uint8_t>& script, const std::string& dest,
              const std::string& backup, const char* pass, const std::atomic<bool>* stop,
              std::vector<Applied>* applied, VerifyReport* report) {
  uint32_t count = 0;
  ScriptCursor cursor;
  if (!BeginScript(script.data(), script.size(), &count, &cursor)) {
    report->problems.push_back("the script is shorter than its entry count");
    return false;
  }
  ApplyContext context = {dest.c_str(), backup.c_str(), {nullptr, nullptr}};
  for (uint32_t i = 0; i < count; ++i) {
    if (Stopped(stop)) return false;
    Applied entry;
    const uint8_t* start = cursor.at;
    const char* path = nullptr;
    entry.result = ApplyEntry(context, &cursor, &path);
    entry.path = path ? path : "?";
    if (entry.result == kDataError) {
      report->problems.push_back(std::string(pass) + ": entry " + std::to_string(i + 1) + " (" +
                                 Quote(entry.path) + ") is damaged (DataError)");
      return false;
    }
    // Any other result means the entry was whole: its body's first byte follows the path's NUL.
    entry.update = start[kEntryHeaderSize + entry.path.size() + 1] != kBodyNewFile;
    applied->push_back(entry);
  }
  if (cursor.at != cursor.end) {
    report->problems.push_back("the script has " + std::to_string(cursor.end - cursor.at) +
                               " bytes after its last entry");
    return false;
  }
  return true;
}

// A user's folder copied with std::filesystem: its names are the system's own, not the
// installer's backslash paths that patch/dir_tree walks.
bool CopyIntoScratch(const std::string& from, const std::string& to, std::string* error) {
  std::error_code ec;
  fs::create_directories(to, ec);
  if (!ec) fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::skip_symlinks, ec);
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

// Makes each updated file a version of its own: the old bytes plus one.
bool MakeForeign(const std::string& dest, const std::vector<Applied>& entries, std::string* error) {
  for (const Applied& entry : entries) {
    if (!entry.update) continue;
    std::vector<uint8_t> bytes;
    const std::string path = NativePath(dest, entry.path);
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

}  // namespace

bool ExtractPatchDat(const std::vector<uint8_t>& installer, std::vector<uint8_t>* patchDat,
                     std::string* error) {
  std::vector<uint8_t> raw;
  if (!ReadInstallerBlock(installer, kPatchDataBlock, &raw, error)) return false;
  // The stub writes every record in turn and Windows ignores case, so the script it runs is the
  // last record of that name in any case.
  FileRecord script = {};
  WalkRecords(raw.data(), raw.size(), [](const FileRecord& record, void* context) {
    if (SameFileName(record.name, kPatchRecordName))
      *static_cast<FileRecord*>(context) = record;
    return true;
  }, &script);
  if (!script.name) {
    *error = "block 2 holds no " + std::string(kPatchRecordName);
    return false;
  }
  patchDat->assign(script.data, script.data + script.size);
  return true;
}

namespace {

bool VerifyInScratch(const std::vector<uint8_t>& script, const std::string& oldDir,
                     const std::string& newDir, const std::atomic<bool>* stop,
                     VerifyReport* report, std::string* error) {
  std::error_code ec;
  std::string pattern;
  if (!MakeScratchDir("vantrel-verify-", &pattern)) {
    *error = "cannot make a scratch folder under the temporary folder";
    return false;
  }
  const fs::path scratch = pattern;
  bool ok = true;
  {
    // 1. A user with OLD: every entry must succeed and the result be NEW.
    const std::string dest = (scratch / "old").string();
    std::vector<Applied> applied;
    ok = CopyIntoScratch(oldDir, dest, error);
    if (ok && ApplyAll(script, dest, (scratch / "backup1").string(), "on OLD", stop, &applied, report)) {
      report->entries = applied.size();
      for (const Applied& entry : applied) {
        if (entry.update) {
          ++report->updateEntries;
          Expect(entry, kUpdated, "on OLD", report);
          report->updated += entry.result == kUpdated;
        } else {
          ++report->newFileEntries;
          // A file whose old and new CRC agree is carried whole and overwrites the old one.
          const bool existed = fs::exists(NativePath(oldDir, entry.path), ec);
          Expect(entry, existed ? kOverwritten : kInstalled, "on OLD", report);
          report->installed += entry.result == kInstalled || entry.result == kOverwritten;
        }
      }
      CompareTree(dest, newDir, oldDir, "on OLD", report);
    }
  }
  if (ok && report->problems.empty() && !Stopped(stop)) {
    // 2. A user who already has NEW: update entries skip, new-file entries rewrite the same bytes.
    const std::string dest = (scratch / "new").string();
    std::vector<Applied> applied;
    ok = CopyIntoScratch(newDir, dest, error);
    if (ok && ApplyAll(script, dest, (scratch / "backup2").string(), "on NEW", stop, &applied, report)) {
      for (const Applied& entry : applied) {
        Expect(entry, entry.update ? kAlreadyUpdated : kOverwritten, "on NEW", report);
        report->alreadyUpdated += entry.result == kAlreadyUpdated;
        report->overwritten += entry.result == kOverwritten;
      }
      CompareTree(dest, newDir, newDir, "on NEW", report);
    }
  }
  if (ok && report->problems.empty() && !Stopped(stop)) {
    // 3. A user with some other version of each updated file: those are skipped untouched.
    const std::string dest = (scratch / "foreign").string();
    std::vector<Applied> first;
    ok = CopyIntoScratch(oldDir, dest, error);
    // The entries' kinds come from pass 1's order; re-read them without touching a disk.
    uint32_t count = 0;
    ScriptCursor cursor;
    if (ok && BeginScript(script.data(), script.size(), &count, &cursor)) {
      for (uint32_t i = 0; i < count; ++i) {
        Applied entry;
        const uint8_t* start = cursor.at;
        const char* path = nullptr;
        if (!SkipEntry(&cursor, &path)) break;
        entry.path = path;
        entry.update = start[kEntryHeaderSize + entry.path.size() + 1] != kBodyNewFile;
        first.push_back(entry);
      }
    }
    ok = ok && MakeForeign(dest, first, error);
    std::vector<Applied> applied;
    if (ok &&
        ApplyAll(script, dest, (scratch / "backup3").string(), "on a foreign version", stop,
                 &applied, report)) {
      for (const Applied& entry : applied) {
        if (!entry.update) continue;
        Expect(entry, kOriginalCrcError, "on a foreign version", report);
        report->originalCrcError += entry.result == kOriginalCrcError;
        std::vector<uint8_t> bytes;
        std::string readError;
        if (ReadFileBytes(NativePath(dest, entry.path), &bytes, &readError) &&
            (bytes.empty() || bytes.back() != '!'))
          report->problems.push_back("on a foreign version: " + Quote(entry.path) + " was changed");
      }
    }
  }
  fs::remove_all(scratch, ec);
  return ok;
}

}  // namespace

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

bool VerifyInstaller(const std::vector<uint8_t>& installer, const std::string& name,
                     const std::string& oldDir, const std::string& newDir, VerifyReport* report,
                     std::string* error, const std::atomic<bool>* stop) {
  std::vector<uint8_t> script;
  // The stub unpacks the setup files first and stops where it refuses them.
  std::vector<uint8_t> setup;
  if (!ReadInstallerBlock(installer, kSetupDataBlock, &setup, error) ||
      !ExtractPatchDat(installer, &script, error)) {
    *error = Quote(name) + ": " + *error;
    return false;
  }
  if (!VerifyScript(script, oldDir, newDir, report, error, stop)) return false;
  // The engine here runs every operation; the installer's own stub must too.
  const std::vector<uint8_t> stub(installer.begin(),
                                  installer.begin() + std::min<size_t>(installer.size(), kStubSize));
  std::string pairing;
  if (!CheckStubRunsScript(stub, script, &pairing)) report->problems.push_back(pairing);
  return true;
}

}  // namespace vt
