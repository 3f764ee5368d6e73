// The delta encoder: old + operations == new through the patch engine itself, for many shapes
// of change, and the compactness that makes it worth having.
#include "delta/delta_encoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "format/file_format.h"
#include "format/script_writer.h"
#include "patch/apply_entry.h"
#include "patch/crc32.h"
#include "tests/common/test_files.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
typedef std::vector<uint8_t> Bytes;

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (uint8_t& x : b) x = uint8_t(rng());
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

// Text-like content: lines drawn from a small vocabulary, so that it repeats itself.
Bytes Lines(size_t count, uint32_t seed) {
  static const char* const kWords[] = {"import", "def", "return", "self", "value", "(", ")", ":",
                                       "    ", "if", "else", "for", "in", "None", "=", "\n"};
  std::mt19937 rng(seed);
  std::string s;
  for (size_t i = 0; i < count; ++i) {
    for (int w = 0; w < 6; ++w) s += std::string(kWords[rng() % 16]) + " ";
    s += "\n";
  }
  return Bytes(s.begin(), s.end());
}

class DeltaRoundTrip : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BuildCrcTable(); }
  void SetUp() override { fs::create_directories(dir_ / "dest"); }

  // Encodes, wraps the operations in a one-entry script, applies it to a file holding `oldData`
  // with the engine and returns what the file holds afterwards. *bodySize gets the ops' size.
  Bytes Apply(const Bytes& oldData, const Bytes& newData, size_t* bodySize = nullptr,
              EntryResult* result = nullptr) {
    Bytes body;
    EXPECT_TRUE(EncodeDelta(oldData.data(), oldData.size(), newData.data(), newData.size(), &body,
                            nullptr, tuning_));
    if (bodySize) *bodySize = body.size();
    return ApplyBody(oldData, newData, body, result);
  }

  // Applies the operations `body` as an update entry from `oldData` to `newData`.
  Bytes ApplyBody(const Bytes& oldData, const Bytes& newData, const Bytes& body,
                  EntryResult* result = nullptr) {
    Bytes script;
    StartScript(&script, 1);
    PutEntryHeader(&script, CrcBytes(oldData.data(), oldData.size()),
                   CrcBytes(newData.data(), newData.size()), "\\f.bin");
    script.insert(script.end(), body.begin(), body.end());
    const fs::path file = dir_ / "dest" / "f.bin";
    vtt::PutFile(file, oldData);
    uint32_t count;
    ScriptCursor cursor;
    EXPECT_TRUE(BeginScript(script.data(), script.size(), &count, &cursor));
    const std::string dest = (dir_ / "dest").string(), backup = (dir_ / "backup").string();
    ApplyContext context = {dest.c_str(), backup.c_str(), {nullptr, nullptr}};
    const EntryResult r = ApplyEntry(context, &cursor, nullptr);
    if (result) *result = r;
    EXPECT_EQ(cursor.at, cursor.size);
    return vtt::GetBytes(file);
  }

  // The round trip must give `newData` with the Updated result.
  void ExpectRoundTrip(const Bytes& oldData, const Bytes& newData, size_t* bodySize = nullptr) {
    EntryResult result;
    EXPECT_EQ(Apply(oldData, newData, bodySize, &result), newData);
    EXPECT_EQ(result, kUpdated);
  }

  vtt::ScratchFolder scratch_;
  fs::path dir_ = scratch_.path();
  DeltaTuning tuning_;  // the original format unless a test asks for add operations
};

// Machine code in miniature: instructions that hold 4-byte addresses. Code inserted before
// them moves the absolute ones by `shift`; the relative calls (0xE8) stay as they are.
Bytes Code(size_t instructions, uint32_t shift, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  for (size_t i = 0; i < instructions; ++i) {
    const uint8_t opcode[] = {0xE8, 0x8B, 0x48, 0x89};
    const uint8_t op = opcode[rng() % 4];
    b.push_back(op);
    b.push_back(uint8_t(rng() % 8));
    const uint32_t address = 0x401000 + uint32_t(rng() % 0x20000) + (op == 0xE8 ? 0 : shift);
    for (int k = 0; k < 4; ++k) b.push_back(uint8_t(address >> (8 * k)));
  }
  return b;
}

TEST_F(DeltaRoundTrip, EmptyAndTinyFiles) {
  const Bytes abc = {'a', 'b', 'c'};
  size_t size;
  ExpectRoundTrip(abc, {}, &size);
  EXPECT_EQ(size, 1u);  // the end byte alone
  ExpectRoundTrip({}, abc);
  ExpectRoundTrip(abc, {'a', 'b', 'X', 'c'});
  ExpectRoundTrip(Random(7, 1), Random(7, 2));
  ExpectRoundTrip(Random(1, 3), Random(9, 4));
}

TEST_F(DeltaRoundTrip, EditsOfARandomFile) {
  const Bytes old = Random(100000, 10);
  const Bytes extra = Random(3000, 11);
  ExpectRoundTrip(old, old);
  ExpectRoundTrip(old, Cat({extra, old}));                                     // insert at start
  ExpectRoundTrip(old, Cat({old, extra}));                                     // append
  ExpectRoundTrip(old, Cat({Slice(old, 0, 5000), extra, Slice(old, 5000, 100000)}));  // insert
  ExpectRoundTrip(old, Cat({Slice(old, 0, 40000), Slice(old, 41000, 100000)}));  // delete
  ExpectRoundTrip(old, Slice(old, 1, 99999));                                    // both ends
  ExpectRoundTrip(old, Cat({Slice(old, 60000, 100000), Slice(old, 0, 60000)}));  // moved block
  ExpectRoundTrip(old, Cat({Slice(old, 0, 100), Slice(old, 0, 100000), Slice(old, 500, 900)}));
  ExpectRoundTrip(old, Random(50000, 12));                                       // replaced
  ExpectRoundTrip(old, {});                                                      // emptied
  Bytes sprinkled = old;
  std::mt19937 rng(13);
  for (int i = 0; i < 300; ++i) sprinkled[rng() % sprinkled.size()] ^= 0x5A;
  ExpectRoundTrip(old, sprinkled);
}

TEST_F(DeltaRoundTrip, RepetitiveContent) {
  const Bytes zeros(70000, 0), ones(70000, 1);
  ExpectRoundTrip(zeros, Cat({zeros, ones, zeros}));
  ExpectRoundTrip(Cat({ones, zeros}), Slice(zeros, 0, 12345));
  const Bytes text = Lines(3000, 20);
  Bytes edited = Cat({Slice(text, 0, 20000), Lines(40, 21), Slice(text, 20100, text.size())});
  ExpectRoundTrip(text, edited);
  ExpectRoundTrip(Lines(2000, 22), Lines(2100, 23));
}

TEST_F(DeltaRoundTrip, ManyRandomEditScripts) {
  std::mt19937 rng(30);
  for (int round = 0; round < 40; ++round) {
    const Bytes old = Random(rng() % 20000, rng());
    Bytes now;
    const int pieces = 1 + rng() % 8;
    for (int p = 0; p < pieces; ++p) {
      if (!old.empty() && rng() % 3) {
        const size_t from = rng() % old.size();
        const size_t to = from + rng() % (old.size() - from + 1);
        now.insert(now.end(), old.begin() + from, old.begin() + to);
      } else {
        const Bytes fresh = Random(rng() % 500, rng());
        now.insert(now.end(), fresh.begin(), fresh.end());
      }
    }
    SCOPED_TRACE(round);
    ExpectRoundTrip(old, now);
  }
}

TEST_F(DeltaRoundTrip, SmallChangesGiveSmallScripts) {
  const Bytes old = Random(200000, 40);
  size_t size;
  ExpectRoundTrip(old, old, &size);
  EXPECT_EQ(size, 1u + 8 + 1);  // one copy and the end byte
  Bytes changed = old;
  changed[123456] ^= 1;
  ExpectRoundTrip(old, changed, &size);
  EXPECT_LE(size, 3u * 9 + 6 + 1);  // copy, one-byte insert, copy, end
  // A block moved within the file costs a few copies, not its bytes.
  ExpectRoundTrip(old, Cat({Slice(old, 150000, 200000), Slice(old, 0, 150000)}), &size);
  EXPECT_LE(size, 40u);
}

TEST_F(DeltaRoundTrip, AddOperationsRoundTripEveryShape) {
  const Bytes old = Random(30000, 90), extra = Random(700, 91);
  Bytes sprinkled = old;
  std::mt19937 rng(92);
  for (int i = 0; i < 300; ++i) sprinkled[rng() % sprinkled.size()] += uint8_t(1 + rng() % 255);
  const Bytes code = Code(6000, 0, 93);
  const std::vector<std::pair<Bytes, Bytes>> pairs = {
      {old, old},
      {old, {}},
      {{}, old},
      {old, sprinkled},
      {old, Cat({Slice(sprinkled, 0, 9000), extra, Slice(sprinkled, 9500, 30000)})},
      {old, Cat({Slice(old, 20000, 30000), Slice(sprinkled, 0, 20000)})},
      {code, Cat({extra, Code(6000, 700, 93)})},
      {Lines(2000, 94), Lines(2100, 95)},
      {Random(5, 96), Random(9, 97)},
  };
  for (uint32_t split : {1u, 16u, 1024u}) {
    tuning_.addSplit = split;
    for (size_t k = 0; k < pairs.size(); ++k) {
      SCOPED_TRACE(std::to_string(split) + " " + std::to_string(k));
      ExpectRoundTrip(pairs[k].first, pairs[k].second);
    }
  }
}

TEST(DeltaEncoder, AddOperationsCarryMovedCodeAsDifferences) {
  // Most addresses moved by 0x123: the original format copies the rare runs of unchanged
  // instructions and inserts the rest; adds carry the whole file as old bytes plus mostly
  // zeros.
  const Bytes old = Code(20000, 0, 100), now = Code(20000, 0x123, 100);
  DeltaStats original, added;
  Bytes body;
  ASSERT_TRUE(EncodeDelta(old.data(), old.size(), now.data(), now.size(), &body, &original));
  DeltaTuning tuning;
  tuning.addSplit = 1024;
  body.clear();
  ASSERT_TRUE(EncodeDelta(old.data(), old.size(), now.data(), now.size(), &body, &added, tuning));
  EXPECT_EQ(original.adds, 0u);
  EXPECT_GT(original.insertedBytes, now.size() / 3);
  EXPECT_LT(added.insertedBytes, now.size() / 100);
  EXPECT_EQ(added.addedBytes + added.copiedBytes + added.insertedBytes, now.size());
  EXPECT_LE(added.adds + added.copies, 2u);
}

size_t BodySize(const Bytes& ops, void*) { return ops.size(); }
size_t MinusBodySize(const Bytes& ops, void*) { return SIZE_MAX - ops.size(); }
size_t SameCost(const Bytes&, void*) { return 1; }

// On one thread or with the settings side by side: the same choice, the first of equals.
TEST_F(DeltaRoundTrip, ChoosingKeepsTheSettingRatedLowestAndEachStartsAfresh) {
  const Bytes old = Random(6000, 80);
  const Bytes now = Cat({Random(300, 81), old});
  DeltaTuning copies, literals;
  literals.minCopy = literals.minRepeatCopy = 1 << 30;  // the whole file as literals
  for (unsigned threads : {1u, 3u}) {
    for (auto [cost, wantCopies] : {std::pair<OpsCost, bool>{BodySize, true},
                                    {MinusBodySize, false}, {SameCost, true}}) {
      Bytes body;
      DeltaStats stats;
      ASSERT_TRUE(EncodeDeltaChoosing(old.data(), old.size(), now.data(), now.size(),
                                      {copies, literals, literals}, cost, nullptr, &body, &stats,
                                      DeltaMemory(), threads));
      EXPECT_EQ(stats.copies, wantCopies ? 1u : 0u) << threads << " threads";
      EXPECT_EQ(stats.copiedBytes + stats.insertedBytes, now.size());
      EXPECT_EQ(ApplyBody(old, now, body), now);
    }
    // The first setting matches hardly anything: its siblings are not tried, but the other
    // group's first still is, and is taken when rated lower.
    const Bytes unlike = Cat({Random(6000, 82), Slice(old, 0, 100)});
    for (auto [cost, wantCopies] :
         {std::pair<OpsCost, uint64_t>{BodySize, 1}, {MinusBodySize, 0}}) {
      Bytes body;
      DeltaStats stats;
      ASSERT_TRUE(EncodeDeltaChoosing(old.data(), old.size(), unlike.data(), unlike.size(),
                                      {copies, literals, literals}, cost, nullptr, &body, &stats,
                                      DeltaMemory(), threads));
      EXPECT_EQ(stats.copies, wantCopies) << threads << " threads";
    }
  }
}

// Costs by the size of the operations rated, counting the ratings: runs may be rated side by
// side, in any order.
struct CostTable {
  std::map<size_t, size_t> bySize;
  std::atomic<size_t> calls{0};
};
size_t TableCost(const Bytes& ops, void* context) {
  CostTable* table = static_cast<CostTable*>(context);
  ++table->calls;
  const auto it = table->bySize.find(ops.size());
  return it == table->bySize.end() ? 1000 : it->second;
}

// Siblings (settings apart only in copyBits) are tried when their group's first came within a
// quarter of the best first or within a few hundred of it, and not otherwise; a run equal to
// the best is not rated again. Group P copies (its second setting leaves a short match out),
// group Q copies nothing.
TEST_F(DeltaRoundTrip, ChoosingSkipsTheSiblingsOfALosingGroup) {
  const Bytes old = Random(6000, 90);
  const Bytes now = Cat({Random(300, 91), Slice(old, 0, 40), Random(300, 92), Slice(old, 100, 6000)});
  DeltaTuning p, pDear, q, qDear;
  pDear.copyBits = qDear.copyBits = 1000;
  q.minCopy = q.minRepeatCopy = qDear.minCopy = qDear.minRepeatCopy = 1 << 30;
  size_t sizes[3];
  for (int k = 0; k < 3; ++k) {
    Bytes body;
    ASSERT_TRUE(EncodeDelta(old.data(), old.size(), now.data(), now.size(), &body, nullptr,
                            k == 0 ? p : k == 1 ? q : pDear));
    sizes[k] = body.size();
  }
  ASSERT_TRUE(sizes[0] != sizes[1] && sizes[0] != sizes[2] && sizes[1] != sizes[2]);
  struct Case {
    size_t costs[3];  // p, q, pDear
    size_t wantCalls;
    uint64_t wantCopies;
  };
  for (const Case& c : {Case{{1000, 1200, 900}, 3, 1}, Case{{2000, 1000, 500}, 2, 0},
                        Case{{300, 100, 50}, 3, 1}, Case{{1000, 1000, 1000}, 3, 2}}) {
    for (unsigned threads : {1u, 3u}) {
      CostTable table;
      for (int k = 0; k < 3; ++k) table.bySize[sizes[k]] = c.costs[k];
      Bytes body;
      DeltaStats stats;
      ASSERT_TRUE(EncodeDeltaChoosing(old.data(), old.size(), now.data(), now.size(),
                                      {p, q, pDear, qDear}, TableCost, &table, &body, &stats,
                                      DeltaMemory(), threads));
      EXPECT_EQ(table.calls, c.wantCalls) << c.costs[0] << " " << c.costs[1];
      EXPECT_EQ(stats.copies, c.wantCopies) << c.costs[0] << " " << c.costs[1];
      EXPECT_EQ(ApplyBody(old, now, body), now);
    }
  }
}

// Rates the operations equal to *context lowest.
size_t AloneCost(const Bytes& ops, void* context) {
  return ops == *static_cast<const Bytes*>(context) ? 90 : 100;
}

// A sibling that takes its group's first searches where it stands where the first stood
// writes the operations it writes alone, with adds and without, whatever the number of threads.
TEST_F(DeltaRoundTrip, SiblingsTakingTheFirstsSearchesWriteWhatTheyWriteAlone) {
  Bytes sprinkled = Random(30000, 110);
  const Bytes old = sprinkled;
  std::mt19937 rng(111);
  for (int i = 0; i < 300; ++i) sprinkled[rng() % sprinkled.size()] += uint8_t(1 + rng() % 255);
  const Bytes text = Lines(2000, 115);
  const std::vector<std::pair<Bytes, Bytes>> pairs = {
      {old, Cat({Slice(sprinkled, 0, 9000), Random(700, 112), Slice(sprinkled, 9500, 30000)})},
      {Code(6000, 0, 113), Cat({Random(700, 114), Code(6000, 700, 113)})},
      {text, Cat({Slice(text, 0, 20000), Lines(40, 116), Slice(text, 20500, text.size()),
                  Lines(40, 117)})},
  };
  std::vector<DeltaTuning> siblings(3);
  siblings[1].copyBits = 24;
  siblings[2].copyBits = 120;
  siblings[2].nearGain = 3;
  for (uint32_t split : {0u, 1024u}) {
    for (DeltaTuning& t : siblings) t.addSplit = split;
    for (size_t k = 0; k < pairs.size(); ++k) {
      const Bytes& a = pairs[k].first;
      const Bytes& b = pairs[k].second;
      for (size_t pick : {size_t(1), size_t(2)}) {
        Bytes alone;
        ASSERT_TRUE(EncodeDelta(a.data(), a.size(), b.data(), b.size(), &alone, nullptr,
                                siblings[pick]));
        for (unsigned threads : {1u, 2u}) {
          Bytes body;
          ASSERT_TRUE(EncodeDeltaChoosing(a.data(), a.size(), b.data(), b.size(), siblings,
                                          AloneCost, &alone, &body, nullptr, DeltaMemory(),
                                          threads));
          EXPECT_EQ(body, alone) << split << " " << k << " " << pick << " " << threads;
        }
      }
    }
  }
}

// Keeps the pieces it is handed, rated by their size.
struct PieceStore : OpsStore {
  Bytes bytes;
  size_t pieces = 0;
  void Take(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    ++pieces;
  }
  size_t Finish() override { return bytes.size(); }
};
std::unique_ptr<OpsStore> MakePieceStore(void*) {
  return std::unique_ptr<OpsStore>(new PieceStore);
}

// Operations handed over in pieces as they are made are those chosen whole, adds of a whole
// file included; the chosen run's store is the one kept.
TEST(DeltaEncoder, StoringChoosesAndWritesWhatChoosingDoes) {
  const Bytes old = Random(3 << 20, 130);
  Bytes now = old;
  for (size_t k = 0; k < now.size(); k += 16) now[k] += 1;
  std::vector<DeltaTuning> tunings(4);
  for (DeltaTuning& t : tunings) t.addSplit = 16384;
  tunings[1].copyBits = tunings[3].copyBits = 24;
  tunings[2].chainDepth = tunings[3].chainDepth = 4;
  for (unsigned threads : {1u, 2u}) {
    Bytes whole;
    DeltaStats wholeStats, storedStats;
    ASSERT_TRUE(EncodeDeltaChoosing(old.data(), old.size(), now.data(), now.size(), tunings,
                                    BodySize, nullptr, &whole, &wholeStats, DeltaMemory(),
                                    threads));
    std::unique_ptr<OpsStore> kept;
    ASSERT_TRUE(EncodeDeltaStoring(old.data(), old.size(), now.data(), now.size(), tunings,
                                   MakePieceStore, nullptr, &kept, &storedStats, DeltaMemory(),
                                   threads));
    const PieceStore& store = static_cast<const PieceStore&>(*kept);
    EXPECT_GT(store.pieces, 2u);
    EXPECT_TRUE(store.bytes == whole) << threads << " threads";
    EXPECT_EQ(storedStats.addedBytes, wholeStats.addedBytes);
    EXPECT_GT(wholeStats.addedBytes, now.size() / 2);
  }
}

TEST(DeltaEncoder, RefusesSizesTheScriptCannotHold) {
  Bytes body = {7};
  const uint8_t byte = 0;
  EXPECT_FALSE(EncodeDelta(&byte, size_t(kMaxDeltaFileSize) + 1, &byte, 1, &body));
  EXPECT_FALSE(EncodeDelta(&byte, 1, &byte, size_t(kMaxDeltaFileSize) + 1, &body));
  EXPECT_EQ(body, Bytes{7});
  EXPECT_FALSE(EncodeDeltaChoosing(&byte, 1, &byte, 1, {}, nullptr, nullptr, &body));
  EXPECT_EQ(body, Bytes{7});
}

TEST(DeltaEncoder, CountsWhatItCopiesAndInserts) {
  const Bytes old = Random(10000, 50), extra = Random(77, 51);
  const Bytes now = Cat({Slice(old, 0, 5000), extra, Slice(old, 5000, 10000)});
  Bytes body;
  DeltaStats stats;
  ASSERT_TRUE(EncodeDelta(old.data(), old.size(), now.data(), now.size(), &body, &stats));
  EXPECT_EQ(stats.copiedBytes + stats.insertedBytes, now.size());
  EXPECT_EQ(stats.insertedBytes, 77u);
  EXPECT_EQ(stats.copies, 2u);
  EXPECT_EQ(body.size(), stats.copies * 9 + stats.inserts * 5 + stats.insertedBytes + 1);
}

TEST(DeltaEncoder, FindsMatchesAfterLongLiteralRuns) {
  // The search skips positions deep in a literal run; a match must still be found whole.
  const Bytes old = Random(20000, 60);
  const Bytes now = Cat({Random(50000, 61), Slice(old, 3000, 3100), Random(9000, 62),
                         Slice(old, 7000, 17000)});
  Bytes body;
  DeltaStats stats;
  ASSERT_TRUE(EncodeDelta(old.data(), old.size(), now.data(), now.size(), &body, &stats));
  EXPECT_EQ(stats.copies, 2u);
  EXPECT_EQ(stats.copiedBytes, 10100u);
}

TEST(DeltaEncoder, CopiesShortMatchesOnlyWhereLiteralsWouldCostMore) {
  // The same 16 bytes are found in the old file both times. Inside a table of repeated records
  // they are cheaper as literals than as a 9-byte copy; between random bytes they are not.
  const Bytes record = {1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
  const Bytes old = Cat({Random(4000, 70), record, Random(4000, 71)});
  Bytes table;
  for (int i = 0; i < 400; ++i) table.insert(table.end(), record.begin(), record.end());
  Bytes body;
  DeltaStats stats;
  ASSERT_TRUE(EncodeDelta(old.data(), old.size(), table.data(), table.size(), &body, &stats));
  EXPECT_EQ(stats.copies, 0u);

  const Bytes code = Cat({Random(3000, 72), Slice(old, 1000, 1016), Random(3000, 73)});
  body.clear();
  stats = DeltaStats();
  ASSERT_TRUE(EncodeDelta(old.data(), old.size(), code.data(), code.size(), &body, &stats));
  EXPECT_EQ(stats.copies, 1u);
  EXPECT_EQ(stats.copiedBytes, 16u);
}

}  // namespace
}  // namespace vt
