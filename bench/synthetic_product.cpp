// Makes a synthetic product in two versions for bench/big_product.sh: one large file with
// scattered edits, many mid-size files with a few edits each, unchanged files, files only in the
// new version and files only in the old one. Content mixes text, code-like bytes, noise and
// repeats, so that both compression and copies matter. The same arguments give the same bytes.
// Usage: synthetic_product OUT_DIR [MIB]   (MIB of new files, about; default 1024)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
typedef std::vector<uint8_t> Bytes;
typedef std::mt19937_64 Rng;

size_t Below(Rng& rng, size_t n) { return size_t(rng() % n); }

// Appends `n` bytes of mixed content to *out.
void Fill(Rng& rng, size_t n, Bytes* out) {
  static std::vector<std::string> words;
  if (words.empty()) {
    Rng w(7);
    for (int i = 0; i < 300; ++i) {
      std::string word;
      for (size_t k = 0, len = 2 + Below(w, 8); k < len; ++k) word += char('a' + Below(w, 26));
      words.push_back(word);
    }
  }
  uint8_t code[64];
  for (uint8_t& c : code) c = uint8_t(rng());
  const size_t end = out->size() + n;
  while (out->size() < end) {
    const size_t want = std::min(end - out->size(), 256 + Below(rng, 16384));
    const size_t kind = Below(rng, 20);
    if (kind < 9) {  // text
      for (size_t k = 0; k < want;) {
        const std::string& word = words[Below(rng, words.size())];
        out->insert(out->end(), word.begin(), word.end());
        out->push_back(Below(rng, 10) ? ' ' : '\n');
        k += word.size() + 1;
      }
    } else if (kind < 16) {  // code: a skewed alphabet
      for (size_t k = 0; k < want; ++k)
        out->push_back(Below(rng, 8) ? code[Below(rng, 64)] : uint8_t(rng()));
    } else if (kind < 18 || out->size() < 65536) {  // noise
      for (size_t k = 0; k < want; ++k) out->push_back(uint8_t(rng()));
    } else {  // a repeat of earlier content, a byte changed here and there
      const size_t from = Below(rng, out->size() - want);
      for (size_t k = 0; k < want; ++k)
        out->push_back(Below(rng, 200) ? (*out)[from + k] : uint8_t(rng()));
    }
  }
  out->resize(end);
}

// `old` with `edits` scattered changes: bytes replaced, stretches inserted or dropped.
Bytes Edit(Rng& rng, const Bytes& old, size_t edits) {
  std::vector<size_t> at(edits);
  for (size_t& a : at) a = Below(rng, old.size() + 1);
  std::sort(at.begin(), at.end());
  Bytes now;
  now.reserve(old.size() + edits * 64);
  size_t from = 0;
  for (size_t a : at) {
    if (a < from) continue;
    now.insert(now.end(), old.begin() + from, old.begin() + a);
    from = a;
    const size_t n = 1 + Below(rng, Below(rng, 4) ? 16 : 400);
    switch (Below(rng, 3)) {
      case 0:  // replace
        Fill(rng, n, &now);
        from = std::min(old.size(), from + n);
        break;
      case 1:  // insert
        Fill(rng, n, &now);
        break;
      default:  // drop
        from = std::min(old.size(), from + n);
        break;
    }
  }
  now.insert(now.end(), old.begin() + from, old.end());
  return now;
}

bool Write(const fs::path& path, const Bytes& data) {
  fs::create_directories(path.parent_path());
  FILE* f = fopen(path.string().c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: synthetic_product OUT_DIR [MIB]\n");
    return 2;
  }
  const size_t mib = argc == 3 ? size_t(atol(argv[2])) : 1024;
  if (mib < 16) {
    fprintf(stderr, "synthetic_product: at least 16 MiB\n");
    return 2;
  }
  const fs::path out = argv[1], oldDir = out / "old", newDir = out / "new";
  const size_t unit = mib << 20;
  Rng rng(20261207);
  bool ok = true;
  // About 40% in one large file, 45% in 800 changed files, 8% new, 5% unchanged, and files
  // only in the old version.
  {
    Bytes old;
    Fill(rng, unit / 100 * 40, &old);
    ok &= Write(oldDir / "data" / "world.pak", old);
    ok &= Write(newDir / "data" / "world.pak", Edit(rng, old, old.size() >> 18));
  }
  const size_t files = 800, mid = unit / 100 * 45 / files;
  for (size_t i = 0; i < files && ok; ++i) {
    Bytes old;
    Fill(rng, mid / 4 + Below(rng, mid * 3 / 2), &old);
    const std::string name = "lib" + std::to_string(i % 16) + "/module" + std::to_string(i) + ".bin";
    ok &= Write(oldDir / name, old) && Write(newDir / name, Edit(rng, old, 1 + Below(rng, 8)));
  }
  for (size_t i = 0; i < 40 && ok; ++i) {
    Bytes data;
    Fill(rng, unit / 100 * 8 / 40, &data);
    ok &= Write(newDir / "added" / ("new" + std::to_string(i) + ".bin"), data);
    data.clear();
    Fill(rng, unit / 100 * 5 / 40, &data);
    const fs::path same = fs::path("docs") / ("same" + std::to_string(i) + ".txt");
    ok &= Write(oldDir / same, data) && Write(newDir / same, data);
    data.clear();
    Fill(rng, unit / 100 * 4 / 40, &data);
    ok &= Write(oldDir / "retired" / ("old" + std::to_string(i) + ".bin"), data);
  }
  if (!ok) {
    fprintf(stderr, "synthetic_product: cannot write under '%s'\n", argv[1]);
    return 1;
  }
  return 0;
}
