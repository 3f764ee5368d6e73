// The delta encoder: the copy, insert and add operations of an update entry that rebuild a new file
// from an old one. Portable C++ over bytes.
#ifndef VANTREL_DELTA_DELTA_ENCODER_H
#define VANTREL_DELTA_DELTA_ENCODER_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <vector>

namespace vt {

struct DeltaTuning {
  // Shortest copy considered, from a new place and continuing the previous copy's displacement
  // (a changed stretch inside an otherwise equal region). Whether a copy pays for its 9 bytes,
  // and the insert it usually splits, is decided by copyBits and repeatBits below.
  uint32_t minCopy = 8;
  uint32_t minRepeatCopy = 8;
  // Candidates followed per hash bucket; more finds better matches in repetitive files.
  uint32_t chainDepth = 16;
  // Estimated compressed bits of literals a copy must replace to be taken, for a copy from a
  // new place and for one that continues the previous displacement (cheaper after compression,
  // as its offset follows the previous copy's). Literal bits are estimated from the new file's
  // byte pairs: tables and padding compress well in the PatchDataBlock and are cheaper as
  // literals than as copies, machine code does not. With adds, a region whose displacement is
  // near a recent region's needs three fifths of copyBits.
  uint32_t copyBits = 40;
  uint32_t repeatBits = 24;
  // 0: copy and insert operations only, the script format every stub runs. Otherwise matches
  // are also extended across mismatching bytes while enough of them agree, and stored as add
  // operations (the byte-wise difference, mostly zeros); an equal stretch of at least this many
  // bytes inside such a match is written as a copy instead. Only a stub that carries
  // kAddOpMarker runs the result.
  uint32_t addSplit = 0;
  // With adds: how many of a match's bytes the current region must miss for the match to start
  // a region whose displacement lies near a recent region's (any other takes 8). Code shifted
  // a few bytes at a time, its addresses changed, is rebuilt with fewer differences when each
  // shift is followed; in tables a region shifted by one entry agrees in most bytes and is not
  // worth its operation.
  uint32_t nearGain = 8;
};

struct DeltaStats {
  uint64_t copies = 0;
  uint64_t copiedBytes = 0;
  uint64_t inserts = 0;
  uint64_t insertedBytes = 0;
  uint64_t adds = 0;
  uint64_t addedBytes = 0;
};

// What the search logs of one file may take, in bytes: eight times the new file's size for
// each group of siblings that records (about one search per three bytes is made where a file
// changed throughout), and never more than DeltaMemory::logBudget for all the logs together.
const size_t kMaxSearchLog = size_t(32) << 20;
const size_t kSearchLogPerByte = 8;

// How much memory the encoder keeps for one file, and how it lets the caller give back the
// pages of mapped files.
struct DeltaMemory {
  // Bytes the index of the old file may take; 0: max(old size / 2, kMinIndexBudget). When the
  // index of every position does not fit, it keeps every position with a tag per position and
  // fewer buckets, and then takes every 2nd, 4th, ... position: copies shorter than 8 bytes
  // plus that step are then found only where they continue the previous copy.
  size_t indexBudget = 0;
  // Bytes the search logs may take together: they only spare sibling settings searches, so
  // less (down to 0) costs time, not size.
  size_t logBudget = kMaxSearchLog;
  // When given, called after about every kReleaseEvery bytes the encoder has read from either
  // file (a look at a new place of the old file counted as 2 MiB, the most the system may map
  // for it): the caller may then drop the files' resident pages (the bytes must stay
  // readable), since the encoder reads again only the few it needs next.
  void (*release)(void* context) = nullptr;
  void* context = nullptr;
};

const size_t kMinIndexBudget = size_t(64) << 20;
const size_t kReleaseEvery = size_t(8) << 20;

// Bytes the index of an old file of `oldSize` takes with `indexBudget` (as DeltaMemory's).
uint64_t DeltaIndexBytes(size_t oldSize, size_t indexBudget);

// Bytes the search logs of EncodeDeltaChoosing and EncodeDeltaStoring may take at most for a
// new file of `newSize` with `tunings` and `logBudget` (as DeltaMemory's).
uint64_t SearchLogBytes(size_t newSize, const std::vector<DeltaTuning>& tunings,
                        size_t logBudget);

// Largest old or new file an update entry can describe: lengths and offsets are 32-bit.
const uint64_t kMaxDeltaFileSize = 0xFFFFFFFFu;

// Appends to *body the operations that build new[0, newSize) from old[0, oldSize), then the end
// byte 0: every copy range lies inside the old file. An empty new file gives the end byte
// alone. Returns false, appending nothing, when either size exceeds kMaxDeltaFileSize.
// `stats`, when given, receives the counts.
bool EncodeDelta(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize,
                 std::vector<uint8_t>* body, DeltaStats* stats = nullptr,
                 const DeltaTuning& tuning = DeltaTuning(),
                 const DeltaMemory& memory = DeltaMemory());

// Measures a candidate run of operations (for example its compressed size); smaller is better.
typedef size_t (*OpsCost)(const std::vector<uint8_t>& ops, void* context);

// As EncodeDelta, but encodes with each of `tunings` and keeps the operations that `cost` rates
// lowest (the first of equals). With no `cost`, the first setting alone is used. False also
// when `tunings` is empty. Settings that differ only in copyBits and repeatBits form a group:
// the first of each group is tried, and the others only in groups whose first matched a tenth
// of the new file or more, and cost at most a quarter, or 256, more than the best first: the
// result rates no worse than any group's first, nor than choosing within a group that came
// near. Operations equal to the best so far are not rated again; the others' are let go once
// rated. The others of a group take the first's index searches where they search from
// the same place in the same state (the result is the same as searching again); the first
// keeps them in up to 8 bytes per byte of the new file, memory.logBudget for all groups. With
// `threads` above 1 up to that many settings tried together are encoded and rated side by side
// (the result is the same), and `cost` is then called from several threads at once.
bool EncodeDeltaChoosing(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                         size_t newSize, const std::vector<DeltaTuning>& tunings,
                         OpsCost cost, void* context, std::vector<uint8_t>* body,
                         DeltaStats* stats = nullptr, const DeltaMemory& memory = DeltaMemory(),
                         unsigned threads = 1);

// Takes one run's operations in pieces as they are made, so that they need not be held whole,
// and rates them once complete (smaller is better). Used by the thread that encodes the run.
class OpsStore {
 public:
  virtual ~OpsStore() {}
  virtual void Take(const uint8_t* data, size_t size) = 0;
  // All pieces are taken: returns the run's cost.
  virtual size_t Finish() = 0;
};

// Makes an empty store for one run; called from several threads at once with `threads` above 1.
typedef std::unique_ptr<OpsStore> (*MakeOpsStore)(void* context);

// As EncodeDeltaChoosing, but each run's operations (with the end byte) go to a store of its
// own from `make`, which rates them: the store of the run chosen goes to *kept, the others are
// dropped once a cheaper run is found. For stores that rate as `cost` does, the same run is
// chosen. False when a size exceeds kMaxDeltaFileSize, or `tunings` is empty.
bool EncodeDeltaStoring(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                        size_t newSize, const std::vector<DeltaTuning>& tunings,
                        MakeOpsStore make, void* context, std::unique_ptr<OpsStore>* kept,
                        DeltaStats* stats = nullptr, const DeltaMemory& memory = DeltaMemory(),
                        unsigned threads = 1);

}  // namespace vt

#endif  // VANTREL_DELTA_DELTA_ENCODER_H
