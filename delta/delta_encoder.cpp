// The delta encoder: a hash index over every position of the old file, matches extended both
// ways, and a preference for continuing the previous copy's displacement.
//
// Why this shape: the script has no "add" operation, so a changed byte always costs a new insert
// and a new copy. What remains to win is finding the longest copies (the whole old file is
// indexed, not a window), not splitting them (backward extension swallows a short literal run
// before a match), keeping the op stream regular for the bzip2 stage (the previous
// displacement is tried first, so an edited region becomes copy/insert/copy with offsets that
// advance in step), and taking a copy only where the literals it replaces would cost more than
// the copy after compression.
#include "delta/delta_encoder.h"

#include <math.h>
#include <string.h>

#include <algorithm>

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
// Literal bytes after which the search starts skipping positions, and the longest step.
const size_t kSkipAfter = 1024;
const size_t kMaxSkip = 8;
// An indexed match this long ends the search for the position, and is taken whatever its
// literals would cost: a long run of cheap bytes (padding) is not worth a search per byte.
const size_t kGoodEnough = 1024;

uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

class OldIndex {
 public:
  OldIndex(const uint8_t* data, size_t size) {
    if (size < kAnchor) return;
    bits_ = 10;
    while (bits_ < 24 && (size_t(1) << bits_) < size) ++bits_;
    head_.assign(size_t(1) << bits_, kNoPosition);
    const size_t positions = size - kAnchor + 1;
    prev_.resize(positions);
    for (size_t p = 0; p < positions; ++p) {
      uint32_t& slot = head_[Hash(data + p)];
      prev_[p] = slot;
      slot = uint32_t(p);
    }
  }

  // The most recent position whose anchor hashes like `at`'s, or kNoPosition.
  uint32_t First(const uint8_t* at) const {
    return head_.empty() ? kNoPosition : head_[Hash(at)];
  }
  uint32_t Next(uint32_t position) const { return prev_[position]; }

 private:
  size_t Hash(const uint8_t* p) const {
    return size_t((Load64(p) * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
  }

  unsigned bits_ = 0;
  std::vector<uint32_t> head_;
  std::vector<uint32_t> prev_;
};

// Estimated compressed cost of each byte of the new file after its predecessor, in bits: a
// two-pass order-1 model of the whole file. bzip2 sees more context than one byte, but the
// estimate tells a symbol table or padding (cheap) from code or packed data (dear).
class LiteralCost {
 public:
  LiteralCost(const uint8_t* data, size_t size) : pairs_(256 * 256, 0), bits_(256 * 256, -1.0f) {
    for (size_t i = 1; i < size; ++i) {
      ++pairs_[data[i - 1] * 256 + data[i]];
      ++totals_[data[i - 1]];
    }
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

class Encoder {
 public:
  Encoder(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize)
      : old_(oldData),
        oldSize_(oldSize),
        new_(newData),
        newSize_(newSize),
        index_(oldData, oldSize),
        cost_(newData, newSize) {}

  // Starts over at the beginning of the new file, to try another setting.
  void Restart() { at_ = Position(); }

  // Appends to *out the operations that build the whole new file, without the end byte.
  void Encode(const DeltaTuning& tuning, std::vector<uint8_t>* out, DeltaStats* stats) {
    tuning_ = tuning;
    out_ = out;
    stats_ = stats;
    size_t& i = at_.next;
    while (i < newSize_) {
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
        // positions skipped.
        const size_t run = i - at_.literalStart;
        i += run < kSkipAfter ? 1 : std::min(kMaxSkip, 1 + run / kSkipAfter);
      }
    }
    EmitInsert(at_.literalStart, newSize_);
  }

 private:
  size_t Forward(size_t oldAt, size_t newAt) const {
    size_t n = 0;
    const size_t limit = oldSize_ - oldAt < newSize_ - newAt ? oldSize_ - oldAt : newSize_ - newAt;
    while (n + 8 <= limit && Load64(old_ + oldAt + n) == Load64(new_ + newAt + n)) n += 8;
    while (n < limit && old_[oldAt + n] == new_[newAt + n]) ++n;
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
  Match Extend(size_t oldAt, size_t i) const {
    Match m;
    const size_t forward = Forward(oldAt, i);
    if (forward == 0) return m;
    const size_t back = Backward(oldAt, i);
    m.oldAt = oldAt - back;
    m.newAt = i - back;
    m.length = back + forward;
    return m;
  }

  bool FindMatch(size_t i, Match* best) const {
    Match repeat;
    const int64_t repeatAt = int64_t(i) + at_.displacement;
    if (repeatAt >= 0 && uint64_t(repeatAt) < oldSize_) repeat = Extend(size_t(repeatAt), i);
    if (repeat.length >= kSureRepeat) {
      *best = repeat;
      return true;
    }
    Match found;
    if (i + kAnchor <= newSize_) {
      uint32_t depth = tuning_.chainDepth;
      for (uint32_t c = index_.First(new_ + i); c != kNoPosition && depth > 0;
           c = index_.Next(c), --depth) {
        if (size_t(c) == size_t(repeatAt)) continue;
        // Quick reject: a longer forward match must agree at the current best's end.
        const size_t probe = found.length ? found.newAt + found.length - i : 0;
        if (probe && (c + probe >= oldSize_ || i + probe >= newSize_ ||
                      old_[c + probe] != new_[i + probe]))
          continue;
        const Match m = Extend(c, i);
        if (m.newAt + m.length - i < kAnchor) continue;  // a hash collision
        if (m.length > found.length) found = m;
        if (found.length >= kGoodEnough) break;
      }
    }
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
    ++stats_->inserts;
    stats_->insertedBytes += to - from;
  }

  void EmitCopy(const Match& m) {
    PutCopy(out_, uint32_t(m.length), uint32_t(m.oldAt));
    ++stats_->copies;
    stats_->copiedBytes += m.length;
  }

  const uint8_t* old_;
  size_t oldSize_;
  const uint8_t* new_;
  size_t newSize_;
  OldIndex index_;
  LiteralCost cost_;
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
  DeltaStats* stats_ = nullptr;
};

}  // namespace

bool EncodeDelta(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize,
                 std::vector<uint8_t>* body, DeltaStats* stats, const DeltaTuning& tuning) {
  return EncodeDeltaChoosing(oldData, oldSize, newData, newSize, {tuning}, nullptr, nullptr,
                             body, stats);
}

bool EncodeDeltaChoosing(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                         size_t newSize, const std::vector<DeltaTuning>& tunings,
                         OpsCost cost, void* context, std::vector<uint8_t>* body,
                         DeltaStats* stats) {
  if (uint64_t(oldSize) > kMaxDeltaFileSize || uint64_t(newSize) > kMaxDeltaFileSize ||
      tunings.empty())
    return false;
  // One index and one literal estimate serve every setting.
  Encoder encoder(oldData, oldSize, newData, newSize);
  std::vector<uint8_t> ops, best;
  DeltaStats bestStats;
  size_t bestCost = SIZE_MAX;
  const size_t tries = cost ? tunings.size() : 1;
  for (size_t t = 0; t < tries; ++t) {
    encoder.Restart();
    ops.clear();
    DeltaStats s;
    encoder.Encode(tunings[t], &ops, &s);
    PutEnd(&ops);
    const size_t c = tries == 1 ? 0 : cost(ops, context);
    if (t == 0 || c < bestCost) {
      bestCost = c;
      best.swap(ops);
      bestStats = s;
    }
    // Settings differ in how they treat matches; with hardly any, the others change nothing.
    if (t == 0 && s.copiedBytes < newSize / 10) break;
  }
  body->insert(body->end(), best.begin(), best.end());
  if (stats) *stats = bestStats;
  return true;
}

}  // namespace vt
