// Reading a setup folder and packing an installer in memory.
#include "builder/installer_pack.h"

#include <math.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "builder/file_bytes.h"
#include "builder/payload_writer.h"
#include "builder/quote.h"
#include "builder/script_entries.h"
#include "format/ansi_chars.h"
#include "format/file_format.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

// The files the installer opens from block 1; Language.ini is optional.
const char* const kExpectedSetupFiles[] = {"Update.ini", "License.txt", "Guide.txt",
                                           "Readme.txt", "Package.bmp", "Splash.bmp"};

// A stream's pieces (one entry's add bytes or literals) of at least this many bytes are told
// apart as compressed data or not; smaller ones go with their neighbours.
const size_t kKindFrom = 2048;
// Bits per byte, order 0 and corrected for the piece's size, from which a piece's bytes other
// than zero count as compressed data: machine code and text stay below 7.7, the bytes of a
// compressed file (a changelog.gz, a kernel image.gz) or their difference from the old ones
// near 8.
const double kCompressedBits = 7.8;

// Whether the bytes look like compressed data: kKindFrom or more of them other than zero, as
// many distinct values as kCompressedBits bits per byte take.
bool LooksCompressed(const uint8_t* data, size_t size) {
  size_t counts[256] = {0};
  for (size_t k = 0; k < size; ++k) ++counts[data[k]];
  const size_t n = size - counts[0];
  if (n < kKindFrom) return false;
  double bits = 0;
  size_t values = 0;
  for (size_t v = 1; v < 256; ++v) {
    if (!counts[v]) continue;
    ++values;
    const double p = double(counts[v]) / double(n);
    bits -= p * log2(p);
  }
  // The Miller-Madow correction: a sample of n bytes shows less than its source's entropy.
  bits += double(values - 1) / (2 * double(n) * log(2.0));
  return bits >= kCompressedBits;
}

// Where a stream's bzip2 blocks end inside it, given its pieces in order: between a run of
// compressed data and one of other bytes, each of kKindFrom bytes or more. Compressed data in a
// block with other bytes spreads noise over their sorted contexts, and each compresses worse
// than the two apart (a changed changelog.gz next to the literals of code, by 2% of their size).
void StreamBlockEnds(const uint8_t* script, const std::vector<std::pair<size_t, size_t>>& pieces,
                     std::vector<size_t>* ends) {
  struct Run {
    size_t begin, end;
    bool compressed;
  };
  std::vector<Run> runs;
  for (const auto& piece : pieces) {
    const size_t size = piece.second - piece.first;
    if (size == 0) continue;
    const bool compressed = LooksCompressed(script + piece.first, size);
    if (!runs.empty() && (runs.back().compressed == compressed || size < kKindFrom))
      runs.back().end = piece.second;
    else
      runs.push_back({piece.first, piece.second, compressed});
  }
  // A short run of other bytes is not worth a block: it joins its neighbours.
  std::vector<Run> kept;
  for (const Run& run : runs) {
    if (!kept.empty() && (kept.back().compressed == run.compressed ||
                          (!run.compressed && run.end - run.begin < kKindFrom))) {
      kept.back().end = run.end;
    } else if (!kept.empty() && !kept.back().compressed &&
               kept.back().end - kept.back().begin < kKindFrom) {
      kept.back().end = run.end;
      kept.back().compressed = run.compressed;
    } else {
      kept.push_back(run);
    }
  }
  for (size_t k = 1; k < kept.size(); ++k) ends->push_back(kept[k].begin);
}

}  // namespace

// Only plain files with plain names, so that what lands in the WorkDir is exactly the folder's
// files. A link is refused rather than followed: it could carry any file of the build machine
// into block 1.
bool ReadSetupFolder(const std::string& dir, std::vector<PayloadFile>* files, std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    *error = "setup folder " + Quote(dir) + " is not a folder" + (ec ? ": " + ec.message() : "");
    return false;
  }
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    entries.push_back(it->path());
  if (ec) {
    *error = "cannot list setup folder " + Quote(dir) + ": " + ec.message();
    return false;
  }
  std::sort(entries.begin(), entries.end(), [](const fs::path& a, const fs::path& b) {
    return a.filename().string() < b.filename().string();
  });
  for (const fs::path& entry : entries) {
    const std::string name = entry.filename().string();
    const fs::file_status status = fs::symlink_status(entry, ec);
    if (fs::is_symlink(status)) {
      *error = "setup file " + Quote(entry.string()) +
               " is a link; the installer can only carry plain files";
      return false;
    }
    if (fs::is_directory(status)) {
      *error = "setup folder " + Quote(dir) + " holds the folder " + Quote(name) +
               "; only files go into block 1";
      return false;
    }
    if (!fs::is_regular_file(status)) {
      *error = "setup file " + Quote(entry.string()) + " is not a regular file";
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

namespace {

// A stub that is not a Windows program usually means swapped arguments.
bool CheckStub(const std::vector<uint8_t>& stub, std::string* error) {
  if (stub.size() >= 2 && stub[0] == 'M' && stub[1] == 'Z') return true;
  *error = "the stub is not a Windows program (no \"MZ\" header)";
  return false;
}

// The sentence for expected setup files that `files` lacks, or "" when none is missing.
std::string MissingFilesWarning(const std::string& dir, const std::vector<PayloadFile>& files) {
  std::string missing;
  for (const char* expected : kExpectedSetupFiles) {
    const bool found = std::any_of(files.begin(), files.end(), [&](const PayloadFile& file) {
      return SameFileName(file.name.c_str(), expected);
    });
    if (!found) missing += (missing.empty() ? "" : ", ") + std::string(expected);
  }
  if (missing.empty()) return "";
  return "setup folder " + Quote(dir) + " lacks " + missing + "; the installer expects them";
}

}  // namespace

bool PackInstaller(const std::vector<uint8_t>& stub, const std::string& setupDir,
                   const std::vector<uint8_t>& patchDat, PackedInstaller* packed,
                   std::string* error) {
  if (!CheckStub(stub, error)) return false;
  std::vector<PayloadFile> setupFiles;
  if (!ReadSetupFolder(setupDir, &setupFiles, error)) return false;
  return PackSetupFiles(stub, setupDir, std::move(setupFiles), patchDat, packed, error);
}

namespace {

template <size_t N>
bool StubCarries(const std::vector<uint8_t>& stub, const char (&marker)[N]) {
  return std::search(stub.begin(), stub.end(), marker, marker + N - 1) != stub.end();
}

bool AnyEntry(const std::vector<uint8_t>& script, bool ScriptEntry::*what) {
  ScriptListing listing;
  ListScriptEntries(script, &listing);
  return std::any_of(listing.entries.begin(), listing.entries.end(),
                     [what](const ScriptEntry& entry) { return entry.*what; });
}

}  // namespace

bool StubRunsAddOps(const std::vector<uint8_t>& stub) { return StubCarries(stub, kAddOpMarker); }

bool ScriptHasAddOps(const std::vector<uint8_t>& script) {
  return AnyEntry(script, &ScriptEntry::usesAdd);
}

bool StubRunsSplitBodies(const std::vector<uint8_t>& stub) {
  return StubCarries(stub, kSplitMarker);
}

bool ScriptHasSplitBodies(const std::vector<uint8_t>& script) {
  return AnyEntry(script, &ScriptEntry::split);
}

bool StubRunsFromBodies(const std::vector<uint8_t>& stub) {
  return StubCarries(stub, kFromMarker);
}

bool ScriptHasFromBodies(const std::vector<uint8_t>& script) {
  return AnyEntry(script, &ScriptEntry::from);
}

std::vector<size_t> PatchBlockEnds(const std::vector<uint8_t>& script) {
  std::vector<size_t> ends;
  ScriptListing listing;
  ListScriptEntries(script, &listing);
  for (const ScriptEntry& entry : listing.entries) {
    if (entry.end - entry.begin < kOwnBlocksFrom) continue;
    if (ends.empty() || ends.back() != entry.begin) ends.push_back(entry.begin);
    ends.push_back(entry.end);
  }
  if (listing.streams) {
    // The add stream starts where the entries end; a block ends before each nonempty stream.
    for (const bool adds : {true, false}) {
      const size_t start = adds ? listing.addStream : listing.literalStream;
      if (start > 0 && start < listing.trailer && (ends.empty() || ends.back() < start))
        ends.push_back(start);
      std::vector<std::pair<size_t, size_t>> pieces;
      for (const ScriptEntry& entry : listing.entries)
        if (entry.split)
          pieces.emplace_back(adds ? entry.addsBegin : entry.literalsBegin,
                              adds ? entry.addsEnd : entry.literalsEnd);
      StreamBlockEnds(script.data(), pieces, &ends);
    }
  }
  return ends;
}

bool CheckStubRunsScript(const std::vector<uint8_t>& stub, const std::vector<uint8_t>& script,
                         std::string* error) {
  // The way out named is the richest script the stub runs.
  const char* const fitting = StubRunsSplitBodies(stub) ? "--no-from'"
                              : StubRunsAddOps(stub)    ? "--no-split'"
                                                        : "--original-format'";
  if (!StubRunsFromBodies(stub) && ScriptHasFromBodies(script)) {
    *error = "the script has bodies from another file, which this stub does not run (it would "
             "stop with a data error): use a current stub, or make the script with 'vantrel "
             "diff " + std::string(fitting);
    return false;
  }
  if (!StubRunsSplitBodies(stub) && ScriptHasSplitBodies(script)) {
    *error = "the script has split bodies, which this stub does not run (it would stop with a "
             "data error): use a current stub, or make the script with 'vantrel diff " +
             std::string(StubRunsAddOps(stub) ? "--no-split'" : "--original-format'");
    return false;
  }
  if (StubRunsAddOps(stub) || !ScriptHasAddOps(script)) return true;
  *error = "the script holds add operations, which this stub does not run (it would stop with "
           "a data error): use a current stub, or make the script with 'vantrel diff "
           "--original-format'";
  return false;
}

bool PackSetupFiles(const std::vector<uint8_t>& stub, const std::string& setupDir,
                    std::vector<PayloadFile> setupFiles, const std::vector<uint8_t>& patchDat,
                    PackedInstaller* packed, std::string* error) {
  if (!CheckStub(stub, error) || !CheckStubRunsScript(stub, patchDat, error)) return false;
  // A package folder often keeps its Patch.dat beside the setup files; block 2 carries it, so a
  // copy of the script stays out of block 1 (any other Patch.dat is refused by BuildInstaller).
  setupFiles.erase(std::remove_if(setupFiles.begin(), setupFiles.end(),
                                  [&](const PayloadFile& file) {
                                    return SameFileName(file.name.c_str(), kPatchRecordName) &&
                                           file.data == patchDat;
                                  }),
                   setupFiles.end());
  const std::string missing = MissingFilesWarning(setupDir, setupFiles);
  if (!missing.empty()) packed->warnings.push_back(missing);
  if (!BuildInstaller(stub, setupFiles, patchDat, &packed->image, error,
                      PatchBlockEnds(patchDat)))
    return false;
  packed->setupFiles = setupFiles.size();
  packed->stubSize = PaddedStubSize(stub.size());
  packed->length1 = ReadLe32(packed->image.data() + packed->stubSize);
  packed->length2 = ReadLe32(packed->image.data() + packed->stubSize + 4 + packed->length1);
  return true;
}

}  // namespace vt
