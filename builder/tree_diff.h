// Comparing an old and a new version of a product folder and writing the patch script that
// brings the one to the other.
#ifndef VANTREL_BUILDER_TREE_DIFF_H
#define VANTREL_BUILDER_TREE_DIFF_H

#include <stdint.h>

#include <string>
#include <vector>

#include "builder/file_bytes.h"
#include "delta/delta_encoder.h"
#include "format/file_format.h"

namespace vt {

// Characters a destination folder is assumed to take on the user's machine ("C:\Program Files
// (x86)\" and a product folder name), plus the run's backup folder ("\BAKFFFF.tmp"). An entry
// path must fit the installer's kMaxPath characters with both in front of it.
const size_t kTypicalDestinationLength = 48;
const size_t kBackupDirAllowance = 12;
const size_t kMaxEntryPath = kMaxPath - kTypicalDestinationLength - kBackupDirAllowance;

// How an update entry's body holds its add bytes and literals: after each operation's fields
// (the layout every stub runs), or apart in the streams after the last entry (kBodySplit,
// only for stubs that carry kSplitMarker). kSplitFrom is kSplit where a new file may also be
// built from another old file (kBodyFrom, only for stubs that carry kFromMarker).
enum class BodyLayout { kInterleaved, kSplit, kSplitFrom };

struct DiffEntry {
  std::string path;  // as stored: "\dir\file"
  bool update = false;  // false: a new-file entry
  uint64_t oldSize = 0;
  uint64_t newSize = 0;
  uint64_t stored = 0;  // bytes of the entry in the script
  DeltaStats delta;     // update entries
  std::string source;   // an update entry built from another old file: its stored path
};

struct TreeDiff {
  std::vector<uint8_t> script;      // Patch.dat, when DiffTrees is given no sink
  uint64_t scriptSize = 0;          // its bytes, wherever they went
  std::vector<DiffEntry> entries;   // in script order
  std::vector<std::string> onlyInOld;  // stored-path form; the script cannot remove them
  std::vector<std::string> crcTwins;   // changed files whose old and new CRC agree
  std::vector<std::string> newFiles;   // every file of NEW, as ListTree gives them
  size_t unchanged = 0;
};

// Told the bytes of NEW handled so far and the total, after each file.
typedef void (*DiffProgress)(void* context, uint64_t done, uint64_t total);

// Lists both folders and writes one entry per file of NEW that is missing from OLD (new-file
// entry) or differs from it (update entry); unchanged files get none. Order: in each folder its
// files, then its subfolders, each by byte order of names. A changed file whose old and new CRC
// are equal cannot be told apart by an update entry, so it gets a new-file entry (and is listed
// in crcTwins). Returns false with *error (one line, naming the file) when a folder cannot be
// read, or NEW holds what the installer cannot carry: a file of 4 GiB or more, a path longer
// than kMaxEntryPath, a name Windows refuses or that is not plain ASCII, two names that differ
// only in case, a link, a file or folder named Vantrel.log (the run's log) at its top, or more
// than 65535 entries; or either folder holds a named pipe, a socket or a device. Links in OLD
// are passed over; `oldDir` and `newDir` themselves may be links to folders, which are followed.
//
// Each update entry is encoded with the settings of `tunings` (empty: kDefaultTunings) as
// EncodeDeltaChoosing tries them, and the one whose operations compress smallest on their own
// is kept; with `layout` kSplit each add byte other than zero counts a quarter of a byte more.
//
// Files are encoded on `threads` threads (0: DefaultThreads()); the script is the same for any
// number. Files are mapped (on POSIX systems, those of up to 8 MiB are read) and their pages
// given back as the work moves on. Each file's job follows a PlanJob within DiffJobsBudget,
// and jobs run side by side only while their planned peaks fit it together, so the memory
// needed stays within max(64 MiB, 1.2 times the largest old file).
// `progress` is called on the calling thread with the bytes of the files finished so far.
//
// The script goes to `sink` (nullptr: diff->script) entry by entry, in order, as the files are
// done: only the entries finished ahead of the next one to write are held, and a new file's
// data is copied from the file as it is written. On failure the sink holds a part.
//
// With `layout` kSplit every update entry has a split body: its operations are written in
// place, their add bytes and literals kept aside (in memory up to 1 MiB each, then in
// temporary files) and appended after the last entry with the trailer. An entry's `stored`
// counts its operations' bytes wherever they went; scriptSize counts the trailer too.
//
// With `layout` kSplitFrom a file of NEW that OLD lacks, of kTryTuningsFrom bytes or more, may
// instead be an update entry built from another file (kBodyFrom, its `source`) that the script
// leaves untouched: one that only OLD holds, or that NEW holds with the same bytes, and that no
// other entry's path names in another case. Tried first is such a file with the same bytes (one
// copy), then up to kMaxNamesakes of the same name in other folders, nearest first; the best
// is kept when its operations compress well below the file stored whole.
bool DiffTrees(const std::string& oldDir, const std::string& newDir, TreeDiff* diff,
               std::string* error, DiffProgress progress = nullptr, void* context = nullptr,
               const std::vector<DeltaTuning>& tunings = {}, unsigned threads = 0,
               ByteSink* sink = nullptr, BodyLayout layout = BodyLayout::kInterleaved);

// Files smaller than this are encoded with the first setting only, and never from another file.
const size_t kTryTuningsFrom = 4096;

// Old files of a new file's name that DiffTrees tries as its source.
const size_t kMaxNamesakes = 4;

// What DiffTrees lets its jobs hold together, all their memory included: the process's
// bound, max(64 MiB, 1.2 times the largest old file), less what the process and the script's
// writer take themselves.
uint64_t DiffJobsBudget(uint64_t largestOld);

// The part of `budget` a job is planned to fit where it can, so that one runs per thread side
// by side: budget / threads (half of it on one thread). Each thread's heap keeps what one job
// frees for the next: while every job fits its share, they hold no more than the budget.
uint64_t JobShare(uint64_t budget, unsigned threads);

// How one file's job uses memory, and what it is estimated to hold at its peak.
struct JobPlan {
  DeltaMemory memory;        // the encoder's index and log budgets
  uint64_t allowance = 0;    // mapped bytes of the two files let stay resident
  bool compressOps = false;  // each run's operations are kept compressed as they are made
  unsigned width = 1;        // settings tried side by side
  uint64_t peak = 0;         // bytes held at most, from start until the entry is written
  uint64_t kept = 0;         // of which those held from the end of encoding until then
};

// The plan of a job for a new file of `newSize` (and an old one of `oldSize` when `hasOld`)
// encoded with `tunings` on `threads`, within `budget`. The defaults where their peak fits;
// otherwise what costs only time goes first (the search logs, the resident allowance, the
// operations kept plain), then the index samples positions, the same for any `threads`. A
// job whose smallest plan does not fit keeps that plan: it runs alone.
JobPlan PlanJob(uint64_t oldSize, uint64_t newSize, bool hasOld,
                const std::vector<DeltaTuning>& tunings, unsigned threads, uint64_t budget);

// The threads DiffTrees uses by default: one per core.
unsigned DefaultThreads();

// Encoder settings tried per file: code with scattered changes wants short copies, files whose
// changed stretches recur elsewhere want longer literal runs, which the compression then shares.
// kDefaultTunings writes copy and insert operations only; kAddTunings also add operations,
// which only a stub that carries kAddOpMarker runs.
extern const std::vector<DeltaTuning> kDefaultTunings;
extern const std::vector<DeltaTuning> kAddTunings;

// The relative files of `dir` in script order, in stored-path form, with the same checks as
// DiffTrees applies to NEW. False with *error otherwise.
bool ListTree(const std::string& dir, std::vector<std::string>* paths, std::string* error);

// The relative files of `dir` as DiffTrees reads OLD: its links are passed over and its names
// converted where they can be, but a named pipe, socket or device is refused. False with *error.
bool ListOldTree(const std::string& dir, std::vector<std::string>* paths, std::string* error);

// `stored` ("\a\b") as a path under `dir` on this system.
std::string NativePath(const std::string& dir, const std::string& stored);

}  // namespace vt

#endif  // VANTREL_BUILDER_TREE_DIFF_H
