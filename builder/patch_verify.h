// Checking a patch script against the two folders it was made from, with the patch engine
// itself on scratch copies: old + script == new, and what users with other copies would see.
#ifndef VANTREL_BUILDER_PATCH_VERIFY_H
#define VANTREL_BUILDER_PATCH_VERIFY_H

#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

namespace vt {

class FileMap;

struct VerifyReport {
  size_t entries = 0;
  size_t updateEntries = 0;
  size_t fromEntries = 0;  // built from another file, placed as new files are
  size_t newFileEntries = 0;
  // On a copy of OLD: entries that gave Updated / Installed, as they should.
  size_t updated = 0;
  size_t installed = 0;
  // On a copy of NEW (a user who already updated): AlreadyUpdated / Overwritten.
  size_t alreadyUpdated = 0;
  size_t overwritten = 0;
  // Entries built from a file that only OLD holds, which NEW lacks: OriginalMissing.
  size_t originalMissing = 0;
  // On a copy of OLD whose updated files, and files that entries are built from, were changed
  // (a foreign version): OriginalCrcError.
  size_t originalCrcError = 0;
  // One line per fault found; empty when the script passed.
  std::vector<std::string> problems;
  // The caller's stop flag ended the check; the scratch folder is removed all the same.
  bool interrupted = false;
};

// The Patch.dat that the stub runs from block 2's unpacked bytes: the last record of that name
// in any case. False with *error when there is none.
bool FindPatchDat(const std::vector<uint8_t>& block2, std::vector<uint8_t>* patchDat,
                  std::string* error);

// FindPatchDat in place: *block2 becomes its Patch.dat's bytes, moved to its start, so that the
// script takes no second block's worth of memory. False with *error (*block2 unchanged).
bool NarrowToPatchDat(std::vector<uint8_t>* block2, std::string* error);

// Block 2's Patch.dat from an installer image, read as the stub reads it. False with *error.
bool ExtractPatchDat(const std::vector<uint8_t>& installer, std::vector<uint8_t>* patchDat,
                     std::string* error);

// Runs the three applications described in VerifyReport in a scratch folder under the system's
// temporary folder, which is removed afterwards, also when `stop` (set from another thread or a
// signal handler) turns true meanwhile: the check then stops after the current entry. Returns
// false with *error when the check could not run (a folder that cannot be read or copied) or
// was stopped (report->interrupted); faults of the script go to report->problems.
bool VerifyScript(const std::vector<uint8_t>& script, const std::string& oldDir,
                  const std::string& newDir, VerifyReport* report, std::string* error,
                  const std::atomic<bool>* stop = nullptr);

// ExtractPatchDat and VerifyScript for an installer image whose block 1 passes every check the
// stub makes of it (ReadInstallerBlock) as well; `name` names it in errors. A script with add
// operations in an installer whose stub does not run them is a problem too.
// `image` may lie in `mapped` (or null), whose pages are given back as the blocks are read;
// the memory taken is that of the larger block, once.
bool VerifyInstaller(const uint8_t* image, size_t imageSize, FileMap* mapped,
                     const std::string& name, const std::string& oldDir,
                     const std::string& newDir, VerifyReport* report, std::string* error,
                     const std::atomic<bool>* stop = nullptr);
bool VerifyInstaller(const std::vector<uint8_t>& installer, const std::string& name,
                     const std::string& oldDir, const std::string& newDir, VerifyReport* report,
                     std::string* error, const std::atomic<bool>* stop = nullptr);

}  // namespace vt

#endif  // VANTREL_BUILDER_PATCH_VERIFY_H
