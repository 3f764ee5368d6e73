// The delta encoder: a hash index over every position of the old file (every few positions of
// a big one), matches extended both ways, and a preference for continuing the previous copy's
// displacement.
//
// Why this shape: in the original format the script has no add operation, so a changed byte
// always costs a new insert and a new copy. What remains to win is finding the longest copies
// (the whole old file is indexed, not a window), not splitting them (backward extension
// swallows a short literal run before a match), keeping the op stream regular for the bzip2
// stage (the previous displacement is tried first, so an edited region becomes
// copy/insert/copy with offsets that advance in step), and taking a copy only where the
// literals it replaces would cost more than the copy after compression. Memory stays below
// the old file's size: a big file's index samples positions, and the backward extension
// recovers the starts that sampling skips.
//
// With add operations, a changed address inside moved code no longer ends a match: the
// region goes on across it and stores the byte-wise difference, mostly zeros, which the
// bzip2 stage all but removes. Where a region ends, the next one is looked for near its
// displacement too, and one near a recent displacement is taken more readily: an edit shifts
// the code after it by a few bytes, and in a repetitive file the index's candidates may miss
// that place.
#include "delta/delta_encoder.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <thread>

#include "format/script_writer.h"

namespace vt {
namespace {

// Bytes hashed per index position; also the shortest match the index can find.
const size_t kAnchor = 8;
const uint32_t kNoPosition = 0xFFFFFFFFu;
// A repeat-displacement match at least this long is taken without searching the index.
const size_t kSureRepeat = 256;
// How much longer an indexed match must be to beat the repeat displacement: a new offset in the
// op stream costs more after compression than one that follows the previous copy.
const size_t kRepeatBonus = 8;
// The lazy step looks one byte ahead only after matches shorter than this (long ones are
// rarely beaten, and the look costs a second search), and wants this many more bytes.
const size_t kLazyUpTo = 128;
const size_t kLazyGain = 8;
// How many bytes more than the current region explains a match must cover to start a new one
// (DeltaTuning::nearGain where the match's displacement is near a recent region's).
const size_t kNewRegionGain = 8;
// With adds, old positions this close to where the current region goes on are searched for
// the anchor where the region's byte disagrees and the index's chain was not walked to its
// end: an edit moves the code after it by a few bytes, and in a file of many equal anchors
// (tables, instruction patterns) the chain's most recent candidates may all lie elsewhere.
const size_t kNearWindow = 256;
// With adds, a region whose displacement lies within kNearDisplacement of one of the last
// kRecentRegions regions' needs only kNearShareFifths fifths of the literal bits a copy must
// save: its offset shares its high bytes with theirs and costs less after compression, and
// such a region is mostly the same code moved a little more, or back after an insertion.
const int64_t kNearDisplacement = 1024;
const size_t kRecentRegions = 4;
const uint32_t kNearShareFifths = 3;
// Equal bytes at the current region's displacement passed over without a search: a shorter
// run may be the start of a longer match elsewhere (code that moved once more).
const size_t kSureAgreement = 64;
// Literal bytes after which the search starts skipping positions, and the longest step.
const size_t kSkipAfter = 1024;
const size_t kMaxSkip = 8;
// An indexed match this long ends the search for the position, and is taken whatever its
// literals would cost: a long run of cheap bytes (padding) is not worth a search per byte.
const size_t kGoodEnough = 1024;
// Literal bytes after which a pending insert is written out even though no match ends it.
const size_t kLongestInsert = size_t(8) << 20;

// Operations handed to a store in pieces of about this many bytes.
const size_t kOpsPiece = size_t(1) << 20;
// What one look at a new place of the old file is counted as for releasing pages: the system
// maps a fault's neighbouring pages too, 64 KiB on Linux, or the whole large folio of its cache
// that holds the byte, up to 2 MiB (Linux 6.18 on ext4 mapped 1.6 MiB per look 4 MiB apart).
// Looks within that distance of the previous one mostly find its pages mapped.
const size_t kPageGuess = size_t(2) << 20;

uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// Calls the caller's release hook once about kReleaseEvery bytes have been read since the last
// call.
class Pager {
 public:
  explicit Pager(const DeltaMemory& memory) : memory_(memory) {}
  // A look at old position `at`: counted as kPageGuess unless near the previous look.
  void Look(size_t at) {
    const size_t distance = at > lastLook_ ? at - lastLook_ : lastLook_ - at;
    lastLook_ = at;
    if (distance >= kPageGuess) Read(kPageGuess);
  }
  void Read(size_t bytes) {
    if (!memory_.release) return;
    read_ += bytes;
    if (read_ < kReleaseEvery) return;
    read_ = 0;
    memory_.release(memory_.context);
  }

 private:
  DeltaMemory memory_;
  size_t read_ = 0;
  size_t lastLook_ = 0;
};

// Bucket bits for `count` indexed positions. Every position indexed: about one bucket per
// position. Sampled: one per four, as a tag per position turns most collisions away without
// reading the old file.
unsigned BucketBits(size_t count, bool tagged) {
  unsigned bits = 10;
  if (!tagged) {
    while (bits < 24 && (size_t(1) << bits) < count) ++bits;
  } else {
    while (bits < 28 && (size_t(4) << bits) < count) ++bits;
  }
  return bits;
}

uint64_t IndexBytes(size_t positions, size_t step, bool tagged) {
  const size_t count = (positions + step - 1) / step;
  return uint64_t(count) * (tagged ? 5 : 4) + (uint64_t(4) << BucketBits(count, tagged));
}

const size_t kMaxIndexStep = 1024;

// The densest index of `positions` that fits `budget`: every position with a bucket each,
// then every position tagged (a fifth more per position, a quarter of the buckets), then every
// 2nd, 4th, ... position tagged; every kMaxIndexStep-th when nothing fits.
void IndexShape(size_t positions, size_t budget, size_t* step, bool* tagged) {
  *step = 1;
  *tagged = IndexBytes(positions, 1, false) > budget;
  while (*step < kMaxIndexStep && IndexBytes(positions, *step, *tagged) > budget) *step *= 2;
}

size_t IndexBudget(size_t oldSize, const DeltaMemory& memory) {
  return memory.indexBudget ? memory.indexBudget : std::max(oldSize / 2, kMinIndexBudget);
}

// A hash index over old positions: all of them, or every `step`th when that is what fits the
// budget. A match of kAnchor + step - 1 bytes always covers an indexed position, and the
// encoder's backward extension finds its start.
class OldIndex {
 public:
  OldIndex(const uint8_t* data, size_t size, size_t budget, Pager* pager) {
    if (size < kAnchor) return;
    const size_t positions = size - kAnchor + 1;
    bool tagged = false;
    IndexShape(positions, budget, &step_, &tagged);
    const size_t count = (positions + step_ - 1) / step_;
    bits_ = BucketBits(count, tagged);
    head_.assign(size_t(1) << bits_, kNoPosition);
    prev_.resize(count);
    if (tagged) tags_.resize(count);
    for (size_t k = 0, p = 0; k < count; ++k, p += step_) {
      const uint64_t h = Hash(data + p);
      uint32_t& slot = head_[Bucket(h)];
      prev_[k] = slot;
      slot = uint32_t(p);
      if (tagged) tags_[k] = Tag(h);
      pager->Read(step_);
    }
  }

  size_t step() const { return step_; }

  // The most recent position whose anchor hashes like `at`'s, or kNoPosition. *tag gets the
  // anchor's tag, for Matches.
  uint32_t First(const uint8_t* at, uint8_t* tag) const {
    if (head_.empty()) return kNoPosition;
    const uint64_t h = Hash(at);
    *tag = Tag(h);
    return head_[Bucket(h)];
  }
  uint32_t Next(uint32_t position) const { return prev_[position / step_]; }
  // False when `position` surely holds another anchor than the one `tag` came from.
  bool Matches(uint32_t position, uint8_t tag) const {
    return tags_.empty() || tags_[position / step_] == tag;
  }

 private:
  static uint64_t Hash(const uint8_t* p) { return Load64(p) * 0x9E3779B97F4A7C15ull; }
  size_t Bucket(uint64_t h) const { return size_t(h >> (64 - bits_)); }
  uint8_t Tag(uint64_t h) const { return uint8_t(h >> (56 - bits_)); }

  size_t step_ = 1;
  unsigned bits_ = 0;
  std::vector<uint32_t> head_;
  std::vector<uint32_t> prev_;
  std::vector<uint8_t> tags_;
};

// Estimated compressed cost of each byte of the new file after its predecessor, in bits: a
// two-pass order-1 model of the whole file. bzip2 sees more context than one byte, but the
// estimate tells a symbol table or padding (cheap) from code or packed data (dear).
class LiteralCost {
 public:
  LiteralCost(const uint8_t* data, size_t size, Pager* pager)
      : pairs_(256 * 256, 0), bits_(256 * 256, -1.0f) {
    for (size_t i = 1; i < size; ++i) {
      ++pairs_[data[i - 1] * 256 + data[i]];
      ++totals_[data[i - 1]];
      if ((i & 0xFFFF) == 0) pager->Read(0x10000);
    }
  }
  // Works out every pair now, so that several threads may read the estimate at once.
  void WorkOutAll() const {
    for (int previous = 0; previous < 256; ++previous)
      for (int byte = 0; byte < 256; ++byte) Bits(uint8_t(previous), uint8_t(byte));
  }
  // Worked out on first use: most pairs are never asked for, and small files are many.
  float Bits(uint8_t previous, uint8_t byte) const {
    float& bits = bits_[previous * 256 + byte];
    if (bits < 0)
      bits = float(log2((totals_[previous] + 128.0) / (pairs_[previous * 256 + byte] + 0.5)));
    return bits;
  }

 private:
  std::vector<uint32_t> pairs_;
  uint32_t totals_[256] = {0};
  mutable std::vector<float> bits_;
};

struct Match {
  size_t oldAt = 0;  // where the copy starts, backward extension included
  size_t newAt = 0;
  size_t length = 0;
};

// What the runs of every setting share and only read: the files, the old file's index and the
// literal estimate.
struct Model {
  Model(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize,
        const DeltaMemory& memory, Pager* pager)
      : old(oldData),
        oldSize(oldSize),
        now(newData),
        newSize(newSize),
        index(oldData, oldSize, IndexBudget(oldSize, memory), pager),
        cost(newData, newSize, pager) {}

  const uint8_t* old;
  size_t oldSize;
  const uint8_t* now;
  size_t newSize;
  OldIndex index;
  LiteralCost cost;
};

// The index searches of one run, in the order made (new positions never go back), so that a
// run with a sibling setting (same chainDepth) takes the result wherever it searches from the
// same place in the same state: settings that differ only in which matches they take follow
// the same path through most of a file. A search's result depends on the position, the old
// position the caller looks at itself, and where the pending literals start.
struct SearchLog {
  struct Entry {
    uint32_t at;
    uint32_t literalStart;
    uint32_t repeat;  // kNoPosition: none inside the old file
    uint32_t oldAt, newAt, length;
  };
  std::vector<Entry> entries;
  size_t capacity = 0;  // entries kept at most; later searches are made again
};

// One run over the new file with one setting.
class Encoder {
 public:
  Encoder(const Model& model, const DeltaMemory& memory)
      : old_(model.old),
        oldSize_(model.oldSize),
        new_(model.now),
        newSize_(model.newSize),
        pager_(memory),
        index_(model.index),
        cost_(model.cost) {}

  // Appends to *out the operations that build the whole new file, without the end byte. The
  // searches are written to `record` or taken from `replay` (a sibling's), when given.
  // With `store`, *out is handed to it and emptied whenever it reaches kOpsPiece bytes.
  void Encode(const DeltaTuning& tuning, std::vector<uint8_t>* out, DeltaStats* stats,
              SearchLog* record = nullptr, const SearchLog* replay = nullptr,
              OpsStore* store = nullptr) {
    tuning_ = tuning;
    out_ = out;
    store_ = store;
    stats_ = stats;
    record_ = record;
    replay_ = replay;
    if (tuning.addSplit) {
      EncodeApproximate();
      return;
    }
    size_t& i = at_.next;
    while (i < newSize_) {
      // A literal run this long is written out: its bytes need not stay in memory until a
      // match ends it.
      if (i - at_.literalStart >= kLongestInsert) {
        EmitInsert(at_.literalStart, i);
        at_.literalStart = i;
      }
      Match best, next;
      // Lazy step: a match that starts one byte later and reaches clearly further wins.
      if (FindMatch(i, &best) &&
          !(best.length < kLazyUpTo && i + 1 < newSize_ && FindMatch(i + 1, &next) &&
            next.newAt + next.length > best.newAt + best.length + kLazyGain)) {
        EmitInsert(at_.literalStart, best.newAt);
        EmitCopy(best);
        i = best.newAt + best.length;
        at_.literalStart = i;
        at_.displacement = int64_t(best.oldAt) - int64_t(best.newAt);
      } else {
        // Deep in a literal run, look at fewer positions: data with no match does not cost a
        // full search per byte, and a match that is still found extends backward over the
        // positions skipped. With a sampled index the step is odd, so that every indexed
        // position comes into reach.
        const size_t run = i - at_.literalStart;
        size_t skip = run < kSkipAfter ? 1 : std::min(kMaxSkip, 1 + run / kSkipAfter);
        if (index_.step() > 1) skip |= 1;
        i += skip;
        pager_.Read(skip);
      }
    }
    EmitInsert(at_.literalStart, newSize_);
  }

 private:
  // Where the last run of matching bytes of the current region's displacement leads: new
  // bytes [start, at_.literalStart) are rebuilt from old ones at that displacement, and where
  // the region ends is settled once the next region (or the file's end) is known.
  struct Region {
    bool active = false;
    size_t start = 0;
    int64_t displacement = 0;
  };

  // As Encode, with regions that may hold mismatching bytes. At each position: a long run of
  // bytes the current region's displacement explains is passed over; otherwise the index is
  // searched,
  // and a match starts a new region only when it is clearly longer than what the current
  // displacement explains over the same bytes, since an edit of code changes addresses in
  // place without moving it. The stretch between two regions is then split by scoring each
  // byte +1 where it agrees and -1 where it does not.
  void EncodeApproximate() {
    Region region;
    size_t& i = at_.next;
    while (i < newSize_) {
      if (i - at_.literalStart >= kLongestInsert) {
        CloseRegion(&region, nullptr, i);
        at_.literalStart = i;
      }
      size_t agreed = 0;
      if (region.active) {
        const int64_t o = int64_t(i) + region.displacement;
        if (o >= 0 && uint64_t(o) < oldSize_ && old_[o] == new_[i]) agreed = Forward(size_t(o), i);
        if (agreed >= kSureAgreement) {
          i += agreed;
          at_.literalStart = i;
          continue;
        }
      }
      const int64_t repeatAt = region.active ? int64_t(i) + region.displacement : -1;
      const Match m = SearchIndex(i, repeatAt);
      const int64_t displacement = int64_t(m.oldAt) - int64_t(m.newAt);
      const bool nearby = NearRecent(displacement);
      const uint32_t bits = nearby ? tuning_.copyBits * kNearShareFifths / 5 : tuning_.copyBits;
      const size_t gain = nearby ? tuning_.nearGain : kNewRegionGain;
      if (m.length >= tuning_.minCopy && (m.length >= kGoodEnough || Saves(m, bits)) &&
          Beats(region, m, gain)) {
        recent_[recentNext_++ % kRecentRegions] = displacement;
        CloseRegion(&region, &m, m.newAt);
        i = m.newAt + m.length;
        at_.literalStart = i;
        continue;
      }
      const size_t run = i - at_.literalStart;
      size_t skip = run < kSkipAfter ? 1 : std::min(kMaxSkip, 1 + run / kSkipAfter);
      if (index_.step() > 1) skip |= 1;
      i += skip;
      pager_.Read(skip);
    }
    CloseRegion(&region, nullptr, newSize_);
  }

  // Whether `displacement` lies near one of the last kRecentRegions regions'.
  bool NearRecent(int64_t displacement) const {
    for (size_t k = 0; k < kRecentRegions && k < recentNext_; ++k)
      if (std::abs(displacement - recent_[k]) < kNearDisplacement) return true;
    return false;
  }

  // Whether `m` explains its bytes clearly better than the current region does: the region
  // misses `gain` of them or more.
  bool Beats(const Region& region, const Match& m, size_t gain) {
    if (!region.active) return true;
    pager_.Look(size_t(std::max<int64_t>(0, int64_t(m.newAt) + region.displacement)));
    size_t missed = 0;
    for (size_t k = m.newAt; k < m.newAt + m.length; ++k) {
      const int64_t o = int64_t(k) + region.displacement;
      if ((o < 0 || uint64_t(o) >= oldSize_ || old_[o] != new_[k]) && ++missed >= gain)
        return true;
    }
    return false;
  }

  // Ends the current region somewhere in [at_.literalStart, gapEnd), writes it and the
  // literals after it, and starts the region of `next` (ending at gapEnd), if any, where its
  // own backward extension leads.
  void CloseRegion(Region* region, const Match* next, size_t gapEnd) {
    const size_t gapStart = at_.literalStart;
    size_t forward = 0, backward = 0;
    if (region->active) {
      int64_t score = 0, best = 0;
      for (size_t k = gapStart; k < gapEnd; ++k) {
        const int64_t o = int64_t(k) + region->displacement;
        if (o < 0 || uint64_t(o) >= oldSize_) break;
        score += old_[o] == new_[k] ? 1 : -1;
        if (score > best) {
          best = score;
          forward = k + 1 - gapStart;
        }
      }
      pager_.Read(2 * (gapEnd - gapStart));
    }
    int64_t nextDisplacement = 0;
    if (next) {
      nextDisplacement = int64_t(next->oldAt) - int64_t(next->newAt);
      int64_t score = 0, best = 0;
      for (size_t k = 1; k <= next->newAt - gapStart && k <= next->oldAt; ++k) {
        score += old_[next->oldAt - k] == new_[next->newAt - k] ? 1 : -1;
        if (score > best) {
          best = score;
          backward = k;
        }
      }
      pager_.Read(2 * (gapEnd - gapStart));
    }
    // Where both extensions claim the same bytes, the cut goes where the earlier region's
    // agreements before it and the later one's after it add up to the most.
    const size_t low = gapEnd - backward, high = gapStart + forward;
    if (high > low) {
      int64_t score = 0, best = 0;
      size_t cut = low;
      for (size_t k = low; k < high; ++k) {
        score += (old_[size_t(int64_t(k) + region->displacement)] == new_[k]) -
                 (old_[size_t(int64_t(k) + nextDisplacement)] == new_[k]);
        if (score > best) {
          best = score;
          cut = k + 1;
        }
      }
      forward = cut - gapStart;
      backward = gapEnd - cut;
    }
    if (region->active) EmitRegion(region->start, gapStart + forward, region->displacement);
    EmitInsert(gapStart + forward, gapEnd - backward);
    region->active = next != nullptr;
    region->start = gapEnd - backward;
    region->displacement = nextDisplacement;
  }

  // New bytes [from, to) at `displacement`: equal stretches of tuning_.addSplit bytes or more
  // (or the whole region) as copies, the rest as adds.
  void EmitRegion(size_t from, size_t to, int64_t displacement) {
    size_t addFrom = from, counted = from;
    for (size_t k = from; k < to;) {
      // A region may span most of the file: its pages are counted as they are read.
      if (k - counted >= kOpsPiece) {
        pager_.Read(2 * (k - counted));
        counted = k;
      }
      const size_t o = size_t(int64_t(k) + displacement);
      if (old_[o] != new_[k]) {
        ++k;
        continue;
      }
      size_t run = 1;
      while (k + run < to && old_[o + run] == new_[k + run]) ++run;
      if (run >= tuning_.addSplit || run == to - from) {
        EmitAdd(addFrom, k, displacement);
        EmitCopy({o, k, run});
        addFrom = k + run;
      }
      k += run;
    }
    EmitAdd(addFrom, to, displacement);
    pager_.Read(2 * (to - counted));
  }

  void EmitAdd(size_t from, size_t to, int64_t displacement) {
    if (from >= to) return;
    const size_t oldFrom = size_t(int64_t(from) + displacement);
    PutAddHead(out_, uint32_t(to - from), uint32_t(oldFrom));
    for (size_t k = from; k < to; ++k) {
      out_->push_back(uint8_t(new_[k] - old_[oldFrom + k - from]));
      if ((k & 0xFFFF) == 0) {
        pager_.Read(2 * 0x10000);
        Drain();
      }
    }
    Drain();
    ++stats_->adds;
    stats_->addedBytes += to - from;
  }

  size_t Forward(size_t oldAt, size_t newAt) {
    size_t n = 0;
    const size_t limit = oldSize_ - oldAt < newSize_ - newAt ? oldSize_ - oldAt : newSize_ - newAt;
    while (n + 8 <= limit && Load64(old_ + oldAt + n) == Load64(new_ + newAt + n)) n += 8;
    while (n < limit && old_[oldAt + n] == new_[newAt + n]) ++n;
    pager_.Read(2 * n);  // both files
    return n;
  }

  // Matching bytes before the two positions, not reaching back past the pending literals.
  size_t Backward(size_t oldAt, size_t newAt) const {
    const size_t limit = oldAt < newAt - at_.literalStart ? oldAt : newAt - at_.literalStart;
    size_t n = 0;
    while (n < limit && old_[oldAt - 1 - n] == new_[newAt - 1 - n]) ++n;
    return n;
  }

  // A match at old position `oldAt` for new position `i`, extended both ways.
  Match Extend(size_t oldAt, size_t i) {
    Match m;
    pager_.Look(oldAt);
    const size_t forward = Forward(oldAt, i);
    if (forward == 0) return m;
    const size_t back = Backward(oldAt, i);
    m.oldAt = oldAt - back;
    m.newAt = i - back;
    m.length = back + forward;
    return m;
  }

  bool FindMatch(size_t i, Match* best) {
    Match repeat;
    const int64_t repeatAt = int64_t(i) + at_.displacement;
    if (repeatAt >= 0 && uint64_t(repeatAt) < oldSize_) repeat = Extend(size_t(repeatAt), i);
    if (repeat.length >= kSureRepeat) {
      *best = repeat;
      return true;
    }
    const Match found = SearchIndex(i, repeatAt);
    const bool repeatWins = repeat.length >= tuning_.minRepeatCopy &&
                            repeat.length + kRepeatBonus >= found.length &&
                            Saves(repeat, tuning_.repeatBits);
    if (repeatWins) {
      *best = repeat;
      return true;
    }
    if (found.length >= tuning_.minCopy &&
        (found.length >= kGoodEnough || Saves(found, tuning_.copyBits))) {
      *best = found;
      return true;
    }
    return false;
  }

  // The longest match the index offers for new position `i`, other than at old position
  // `repeatAt` (looked at by the caller), extended both ways; length 0 when none. Taken from
  // the sibling's log when it searched from the same state.
  Match SearchIndex(size_t i, int64_t repeatAt) {
    const uint32_t repeat =
        repeatAt >= 0 && uint64_t(repeatAt) < oldSize_ ? uint32_t(repeatAt) : kNoPosition;
    if (replay_) {
      const std::vector<SearchLog::Entry>& log = replay_->entries;
      while (replayAt_ < log.size() && log[replayAt_].at < i) ++replayAt_;
      for (size_t k = replayAt_; k < log.size() && log[k].at == i; ++k)
        if (log[k].repeat == repeat && log[k].literalStart == at_.literalStart) {
          Match m;
          m.oldAt = log[k].oldAt;
          m.newAt = log[k].newAt;
          m.length = log[k].length;
          return m;
        }
    }
    const Match found = Search(i, repeat);
    if (record_ && record_->entries.size() < record_->capacity)
      record_->entries.push_back({uint32_t(i), uint32_t(at_.literalStart), repeat,
                                  uint32_t(found.oldAt), uint32_t(found.newAt),
                                  uint32_t(found.length)});
    return found;
  }

  Match Search(size_t i, uint32_t repeat) {
    Match found;
    if (i + kAnchor <= newSize_) {
      uint32_t depth = tuning_.chainDepth;
      // Tag misses cost no depth, but a bucket is not walked without end.
      size_t walk = size_t(tuning_.chainDepth) * 8;
      uint8_t tag = 0;
      uint32_t c = index_.First(new_ + i, &tag);
      for (; c != kNoPosition && depth > 0 && walk > 0; c = index_.Next(c), --walk) {
        if (!index_.Matches(c, tag)) continue;
        --depth;
        if (c == repeat) continue;
        // Quick reject: a longer forward match must agree at the current best's end.
        const size_t probe = found.length ? found.newAt + found.length - i : 0;
        if (probe) pager_.Look(c + probe);
        if (probe && (c + probe >= oldSize_ || i + probe >= newSize_ ||
                      old_[c + probe] != new_[i + probe]))
          continue;
        const Match m = Extend(c, i);
        if (m.newAt + m.length - i < kAnchor) continue;  // a hash collision
        if (m.length > found.length) found = m;
        if (found.length >= kGoodEnough) break;
      }
      // Only a chain walked in part, or an index of some positions, may have missed one; and
      // a shift shows where the current region's byte disagrees (where it agrees, the region
      // mostly goes on).
      const bool missed = c != kNoPosition || index_.step() > 1;
      if (tuning_.addSplit && missed && repeat != kNoPosition && found.length < kGoodEnough &&
          old_[repeat] != new_[i] && oldSize_ >= kAnchor) {
        const uint64_t anchor = Load64(new_ + i);
        const size_t from = repeat > kNearWindow ? repeat - kNearWindow : 0;
        const size_t to = std::min(size_t(repeat) + kNearWindow, oldSize_ - kAnchor);
        pager_.Look(from);
        for (size_t place = from; place <= to; ++place) {
          if (place == repeat || Load64(old_ + place) != anchor) continue;
          const size_t probe = found.length ? found.newAt + found.length - i : 0;
          if (probe && (place + probe >= oldSize_ || i + probe >= newSize_ ||
                        old_[place + probe] != new_[i + probe]))
            continue;
          const Match m = Extend(place, i);
          if (m.length > found.length) found = m;
        }
      }
    }
    return found;
  }

  // Whether the literals that `m` replaces are estimated at `bits` or more.
  bool Saves(const Match& m, uint32_t bits) const {
    float sum = 0;
    for (size_t i = m.newAt; i < m.newAt + m.length; ++i) {
      sum += cost_.Bits(i ? new_[i - 1] : 0, new_[i]);
      if (sum >= float(bits)) return true;
    }
    return false;
  }

  void EmitInsert(size_t from, size_t to) {
    if (from >= to) return;
    PutInsert(out_, new_ + from, uint32_t(to - from));
    Drain();
    ++stats_->inserts;
    stats_->insertedBytes += to - from;
  }

  void EmitCopy(const Match& m) {
    PutCopy(out_, uint32_t(m.length), uint32_t(m.oldAt));
    Drain();
    ++stats_->copies;
    stats_->copiedBytes += m.length;
  }

  void Drain() {
    if (!store_ || out_->size() < kOpsPiece) return;
    store_->Take(out_->data(), out_->size());
    out_->clear();
  }

  const uint8_t* old_;
  size_t oldSize_;
  const uint8_t* new_;
  size_t newSize_;
  Pager pager_;
  const OldIndex& index_;
  const LiteralCost& cost_;
  // Where the encoder stands: the next position looked at, the first byte not yet emitted and
  // the last copy's displacement (old position minus new position).
  struct Position {
    size_t next = 0;
    size_t literalStart = 0;
    int64_t displacement = 0;
  };
  Position at_;
  DeltaTuning tuning_;
  std::vector<uint8_t>* out_ = nullptr;
  OpsStore* store_ = nullptr;
  DeltaStats* stats_ = nullptr;
  SearchLog* record_ = nullptr;
  const SearchLog* replay_ = nullptr;
  size_t replayAt_ = 0;  // entries before it lie behind the position
  // The displacements of the last regions started, in a ring.
  int64_t recent_[kRecentRegions] = {0};
  size_t recentNext_ = 0;
};

}  // namespace

bool EncodeDelta(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize,
                 std::vector<uint8_t>* body, DeltaStats* stats, const DeltaTuning& tuning,
                 const DeltaMemory& memory) {
  return EncodeDeltaChoosing(oldData, oldSize, newData, newSize, {tuning}, nullptr, nullptr,
                             body, stats, memory);
}

namespace {

// Settings that differ only in which matches they take (copyBits, repeatBits, nearGain) search
// alike until their choices part, and mostly make operations of about the same compressed
// size: their spread stays within a tenth or so.
bool Siblings(const DeltaTuning& a, const DeltaTuning& b) {
  return a.minCopy == b.minCopy && a.minRepeatCopy == b.minRepeatCopy &&
         a.chainDepth == b.chainDepth && a.addSplit == b.addSplit;
}

// How many groups of siblings have a first that records its searches for the others.
size_t RecordingGroups(const std::vector<DeltaTuning>& tunings) {
  size_t groups = 0;
  for (size_t t = 0; t < tunings.size(); ++t) {
    size_t first = 0, members = 0;
    while (!Siblings(tunings[first], tunings[t])) ++first;
    if (first != t) continue;
    for (const DeltaTuning& other : tunings) members += Siblings(tunings[t], other);
    groups += members > 1;
  }
  return groups;
}

// A log's capacity in entries, one of `groups` that record.
size_t LogCapacity(size_t newSize, size_t groups, size_t logBudget) {
  return std::min(logBudget / groups, kSearchLogPerByte * newSize) / sizeof(SearchLog::Entry);
}

// A group of siblings whose first setting costs more than the best first by over this part of
// it, and by over kLosingGroupSlack, is not tried further: none of its siblings would come
// near. Small operation runs spread wider, and cost little to rate.
const size_t kLosingGroupShare = 4;  // a quarter
const size_t kLosingGroupSlack = 256;

}  // namespace

namespace {

// EncodeDeltaChoosing and EncodeDeltaStoring: runs rated by `cost`, or by stores from `make`.
bool Choose(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize,
            const std::vector<DeltaTuning>& tunings, OpsCost cost, MakeOpsStore make,
            void* context, std::vector<uint8_t>* body, std::unique_ptr<OpsStore>* kept,
            DeltaStats* stats, const DeltaMemory& memory, unsigned threads) {
  if (uint64_t(oldSize) > kMaxDeltaFileSize || uint64_t(newSize) > kMaxDeltaFileSize ||
      tunings.empty())
    return false;
  // One index and one literal estimate serve every setting.
  Pager pager(memory);
  const Model model(oldData, oldSize, newData, newSize, memory, &pager);
  struct Run {
    std::vector<uint8_t> ops;
    std::unique_ptr<OpsStore> store;
    DeltaStats stats;
    size_t cost = 0;
    bool done = false;
  };
  const size_t tries = cost || make ? tunings.size() : 1;
  std::vector<Run> runs(tries);
  // Each setting's group: the first setting it is a sibling of, which records the searches.
  std::vector<size_t> group(tries);
  for (size_t t = 0; t < tries; ++t)
    while (!Siblings(tunings[group[t]], tunings[t])) ++group[t];
  std::vector<SearchLog> logs(tries);
  std::vector<size_t> recording;  // the firsts of groups with siblings
  for (size_t t = 0; t < tries; ++t)
    if (group[t] == t && std::count(group.begin(), group.end(), t) > 1) recording.push_back(t);
  for (size_t t : recording) {
    logs[t].capacity = LogCapacity(newSize, recording.size(), memory.logBudget);
    // Reserved whole, a log never outgrows its limit as a doubling vector would (by up to
    // half again); what it does not fill is never touched.
    logs[t].entries.reserve(logs[t].capacity);
  }
  // The cheapest run so far (the first of equals, whatever order the runs finished in); the
  // others' operations are let go once rated: each may be as large as the file. It changes
  // only between batches of runs.
  size_t best = 0;
  // Encodes and rates setting `t`; a run equal to the best so far takes its cost without a
  // second look.
  auto encode = [&](size_t t) {
    Encoder encoder(model, memory);
    const size_t first = group[t];
    Run& run = runs[t];
    if (make) run.store = make(context);
    encoder.Encode(tunings[t], &run.ops, &run.stats, first == t ? &logs[t] : nullptr,
                   first == t ? nullptr : &logs[first], run.store.get());
    PutEnd(&run.ops);
    if (make) {
      run.store->Take(run.ops.data(), run.ops.size());
      std::vector<uint8_t>().swap(run.ops);
      run.cost = run.store->Finish();
      return;
    }
    if (tries == 1) return;
    const Run& leader = runs[best];
    run.cost = leader.done && leader.ops == run.ops ? leader.cost : cost(run.ops, context);
  };
  // Encodes and rates the settings `which`, up to `threads` side by side, then takes the
  // batch's results in order. Only the best and the batch hold operations.
  auto tryBatch = [&](const std::vector<size_t>& which) {
    if (which.size() > 1) {
      model.cost.WorkOutAll();
      std::vector<std::thread> helpers;
      for (size_t k = 1; k < which.size(); ++k) helpers.emplace_back(encode, which[k]);
      encode(which[0]);
      for (std::thread& helper : helpers) helper.join();
    } else {
      for (size_t t : which) encode(t);
    }
    for (size_t t : which) {
      Run& run = runs[t];
      run.done = true;
      if (tries == 1) continue;
      const bool first = !runs[best].done || best == t;
      if (first || run.cost < runs[best].cost || (run.cost == runs[best].cost && t < best)) {
        if (!first) {
          std::vector<uint8_t>().swap(runs[best].ops);
          runs[best].store.reset();
        }
        best = t;
      } else {
        std::vector<uint8_t>().swap(run.ops);
        run.store.reset();
      }
    }
  };
  auto tryAll = [&](const std::vector<size_t>& which) {
    const size_t width = std::max<size_t>(threads, 1);
    for (size_t from = 0; from < which.size(); from += width)
      tryBatch(std::vector<size_t>(which.begin() + from,
                                   which.begin() + std::min(which.size(), from + width)));
  };
  // The first setting of each group of siblings, then the siblings of the groups whose first
  // came near the best. Siblings differ in how they treat matches: with hardly any, they
  // change nothing. Every first is tried whatever the others matched, so that the result never
  // rates worse than a group's first alone.
  std::vector<size_t> firsts, rest;
  for (size_t t = 0; t < tries; ++t) (group[t] == t ? firsts : rest).push_back(t);
  tryAll(firsts);
  if (tries > 1) {
    size_t bestFirst = runs[0].cost;
    for (size_t t : firsts) bestFirst = std::min(bestFirst, runs[t].cost);
    std::vector<size_t> near;
    for (size_t t : rest) {
      const Run& first = runs[group[t]];
      const bool matched = first.stats.copiedBytes + first.stats.addedBytes >= newSize / 10;
      if (matched && first.cost - bestFirst <= bestFirst / kLosingGroupShare + kLosingGroupSlack)
        near.push_back(t);
    }
    // The logs of the groups left out are not read.
    for (size_t t = 0; t < tries; ++t)
      if (std::none_of(near.begin(), near.end(), [&](size_t n) { return group[n] == t; }))
        std::vector<SearchLog::Entry>().swap(logs[t].entries);
    tryAll(near);
  }
  if (make) {
    *kept = std::move(runs[best].store);
    if (stats) *stats = runs[best].stats;
    return true;
  }
  std::vector<uint8_t>& ops = runs[best].ops;
  // Into an empty body the operations move without a copy: they may be as large as the file.
  if (body->empty()) {
    body->swap(ops);
  } else {
    body->insert(body->end(), ops.begin(), ops.end());
  }
  if (stats) *stats = runs[best].stats;
  return true;
}

}  // namespace

uint64_t DeltaIndexBytes(size_t oldSize, size_t indexBudget) {
  if (oldSize < kAnchor) return 0;
  DeltaMemory memory;
  memory.indexBudget = indexBudget;
  const size_t positions = oldSize - kAnchor + 1;
  size_t step;
  bool tagged;
  IndexShape(positions, IndexBudget(oldSize, memory), &step, &tagged);
  return IndexBytes(positions, step, tagged);
}

uint64_t SearchLogBytes(size_t newSize, const std::vector<DeltaTuning>& tunings,
                        size_t logBudget) {
  const size_t groups = RecordingGroups(tunings);
  return groups ? uint64_t(groups) * LogCapacity(newSize, groups, logBudget) *
                      sizeof(SearchLog::Entry)
                : 0;
}

bool EncodeDeltaChoosing(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                         size_t newSize, const std::vector<DeltaTuning>& tunings,
                         OpsCost cost, void* context, std::vector<uint8_t>* body,
                         DeltaStats* stats, const DeltaMemory& memory, unsigned threads) {
  return Choose(oldData, oldSize, newData, newSize, tunings, cost, nullptr, context, body,
                nullptr, stats, memory, threads);
}

bool EncodeDeltaStoring(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                        size_t newSize, const std::vector<DeltaTuning>& tunings,
                        MakeOpsStore make, void* context, std::unique_ptr<OpsStore>* kept,
                        DeltaStats* stats, const DeltaMemory& memory, unsigned threads) {
  return make && Choose(oldData, oldSize, newData, newSize, tunings, nullptr, make, context,
                        nullptr, kept, stats, memory, threads);
}

}  // namespace vt
