// Packing an installer from a stub's bytes, a folder of setup files and a patch script's
// bytes: what `vantrel pack` and `vantrel build` share.
#ifndef VANTREL_BUILDER_INSTALLER_PACK_H
#define VANTREL_BUILDER_INSTALLER_PACK_H

#include <stdint.h>

#include <string>
#include <vector>

#include "builder/payload_writer.h"

namespace vt {

struct PackedInstaller {
  std::vector<uint8_t> image;  // the finished installer
  uint32_t stubSize = 0;       // the padded stub's: where block 1 starts
  size_t setupFiles = 0;       // records in block 1
  uint32_t length1 = 0;        // the blocks' stored length fields
  uint32_t length2 = 0;
  // Sentences for the author that do not stop the pack (expected setup files missing); filled
  // also when the pack then fails, so that they can be shown before its error.
  std::vector<std::string> warnings;
};

// Builds the installer: `stub` (a Windows program, "MZ"), block 1 from every file of
// `setupDir` sorted by name, block 2 from `patchDat`. Refuses, with *error naming the culprit,
// a stub that is no Windows program, a script with add operations or split bodies for a stub
// that does not run them, a setup folder that holds anything but plain files with plain names
// (folders, links, special files), and whatever BuildInstaller refuses. A copy of `patchDat`
// named Patch.dat among the setup files is left out; missing expected setup files are a
// sentence in packed->warnings.
bool PackInstaller(const std::vector<uint8_t>& stub, const std::string& setupDir,
                   const std::vector<uint8_t>& patchDat, PackedInstaller* packed,
                   std::string* error);

// Lists `dir`'s files sorted by name and reads each, with the refusals PackInstaller names
// (folders, links, special files, names that are not plain file names).
bool ReadSetupFolder(const std::string& dir, std::vector<PayloadFile>* files, std::string* error);

// PackInstaller over setup files already read (and perhaps converted) from `setupDir`.
bool PackSetupFiles(const std::vector<uint8_t>& stub, const std::string& setupDir,
                    std::vector<PayloadFile> setupFiles, const std::vector<uint8_t>& patchDat,
                    PackedInstaller* packed, std::string* error);

// Whether `stub` runs add operations: it carries kAddOpMarker.
bool StubRunsAddOps(const std::vector<uint8_t>& stub);

// Whether an entry of `script` holds an add operation; entries after one the engine cannot
// read are not looked at.
bool ScriptHasAddOps(const std::vector<uint8_t>& script);

// Whether `stub` runs split bodies: it carries kSplitMarker.
bool StubRunsSplitBodies(const std::vector<uint8_t>& stub);

// Whether an entry of `script` has a split body, looked at as ScriptHasAddOps looks.
bool ScriptHasSplitBodies(const std::vector<uint8_t>& script);

// Whether `stub` runs bodies from another file: it carries kFromMarker.
bool StubRunsFromBodies(const std::vector<uint8_t>& stub);

// Whether an entry of `script` has a body from another file, looked at as ScriptHasAddOps looks.
bool ScriptHasFromBodies(const std::vector<uint8_t>& script);

// Entries from this many bytes on get bzip2 blocks of their own in block 2: a block that holds
// the end of one large file and the start of another compresses worse than the two apart
// (0.8% of block 2 on the synthetic product of bench/big_product.sh), while small entries
// gain from sharing blocks with their neighbours.
const size_t kOwnBlocksFrom = size_t(1) << 20;

// Where block 2's bzip2 blocks end for `script`: before and after each entry of kOwnBlocksFrom
// bytes or more, and in a script with split bodies where its add stream and its literal stream
// start (the trailer stays with the literals), so that operations, add bytes and literals are
// each compressed with their like; and inside each stream between the bytes of entries that look
// like compressed data and those of others (runs of 2 KiB or more). None for a script the engine
// would not read.
std::vector<size_t> PatchBlockEnds(const std::vector<uint8_t>& script);

// False with *error when `script` holds add operations, split bodies or bodies from another
// file and `stub` does not run them.
bool CheckStubRunsScript(const std::vector<uint8_t>& stub, const std::vector<uint8_t>& script,
                         std::string* error);

}  // namespace vt

#endif  // VANTREL_BUILDER_INSTALLER_PACK_H
