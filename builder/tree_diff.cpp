// Folder comparison and Patch.dat writing for `vantrel diff` and `vantrel build`.
#include "builder/tree_diff.h"

#include <stdint.h>
#include <stdio.h>

#include <string.h>

#include <bzlib.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "builder/code_page.h"
#include "builder/file_map.h"
#include "builder/heap.h"
#include "builder/payload_check.h"
#include "builder/payload_writer.h"
#include "builder/quote.h"
#include "format/ansi_chars.h"
#include "format/file_format.h"
#include "format/file_names.h"
#include "format/script_writer.h"
#include "patch/crc32.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

const size_t kMaxEntries = 0xFFFF;

// The name `utf8` in the installer's code page, in *name. `strict` refuses what the installer
// cannot carry; otherwise (OLD, which is only read) a name that does not convert stays as it is.
bool CheckName(const std::string& utf8, const std::string& where, bool strict, std::string* name,
               std::string* error) {
  if (!Utf8ToAnsi(utf8, name)) {
    *name = utf8;
    if (!strict) return true;
    if (SelectedCodePage() == 0)
      *error = Quote(where) + ": the name is not plain ASCII; give the installer's code page "
               "with --codepage (the user's ANSI code page, such as 1252 or 932)";
    else
      *error = Quote(where) + ": code page " + std::to_string(SelectedCodePage()) +
               " cannot hold the name";
    return false;
  }
  if (!strict) return true;
  const std::string why = WhyNotPlainFileName(*name);
  if (!why.empty()) {
    *error = Quote(where) + ": the name is not valid on Windows: " + why;
    return false;
  }
  return true;
}

// What a thing in a folder that is neither a file, a folder nor a link is, for its refusal.
std::string SpecialKind(const fs::file_status& status) {
  if (fs::is_fifo(status)) return "a named pipe (FIFO)";
  if (fs::is_socket(status)) return "a socket";
  if (fs::is_character_file(status)) return "a character device";
  if (fs::is_block_file(status)) return "a block device";
  return "neither a file nor a folder";
}

// Every run writes its log under this name in the destination folder and holds it open, so no
// entry can install a file (or a folder) there.
bool IsResultLogName(const std::string& prefix, const std::string& name) {
  return prefix.empty() && SameFileName(name.c_str(), VT_RESULT_LOG_NAME);
}

// Appends the files under `dir` (stored prefix `prefix`) in script order. `strict` applies the
// rules of what NEW may hold; OLD is only read, and its links are passed over. A named pipe,
// socket or device is refused in either: no copy or comparison of it could be carried out.
bool Walk(const fs::path& dir, const std::string& prefix, bool strict,
          std::vector<std::string>* paths, std::string* error) {
  std::error_code ec;
  std::vector<std::pair<std::string, fs::path>> files, dirs;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string utf8 = it->path().filename().u8string();
    const std::string where = it->path().u8string();
    const fs::file_status status = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_symlink(status)) {
      if (!strict) continue;
      *error = Quote(where) + " is a link; the installer can only carry plain files";
      return false;
    }
    if (!fs::is_directory(status) && !fs::is_regular_file(status)) {
      *error = Quote(where) + " is " + SpecialKind(status) +
               "; OLD and NEW may hold only files, folders and (in OLD) links";
      return false;
    }
    std::string name;
    if (!CheckName(utf8, where, strict, &name, error)) return false;
    if (strict && IsResultLogName(prefix, name)) {
      *error = Quote(where) + ": " VT_RESULT_LOG_NAME " is the log that every run writes in "
               "the destination folder, and no run installs over it";
      return false;
    }
    (fs::is_directory(status) ? dirs : files).emplace_back(name, it->path());
  }
  if (ec) {
    *error = "cannot list " + Quote(dir.string()) + ": " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end());
  std::sort(dirs.begin(), dirs.end());
  if (strict) {
    std::map<std::string, std::string> seen;
    for (const auto* list : {&files, &dirs})
      for (const auto& entry : *list) {
        // Names equal once converted, or differing only in case, are one name on Windows.
        std::string shown;
        if (!AnsiToUtf8(entry.first, &shown)) shown = entry.first;
        auto inserted = seen.emplace(NameKey(shown), shown);
        if (!inserted.second) {
          *error = Quote(dir.u8string()) + " holds both " + Quote(inserted.first->second) +
                   " and " + Quote(entry.second.filename().u8string()) + ", one name on Windows";
          return false;
        }
      }
  }
  for (const auto& file : files) {
    const std::string stored = prefix + "\\" + file.first;
    if (strict && stored.size() > kMaxEntryPath) {
      *error = Quote(file.second.u8string()) + ": its path has " +
               std::to_string(stored.size()) + " characters; at most " +
               std::to_string(kMaxEntryPath) +
               " fit the installer's " + std::to_string(kMaxPath) +
               " under a typical destination folder";
      return false;
    }
    paths->push_back(stored);
  }
  for (const auto& sub : dirs)
    if (!Walk(sub.second, prefix + "\\" + sub.first, strict, paths, error)) return false;
  return true;
}

bool ListFolder(const std::string& dir, bool strict, std::vector<std::string>* paths,
                std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    *error = Quote(dir) + " is not a folder";
    return false;
  }
  return Walk(dir, "", strict, paths, error);
}

// False with *error when a path of NEW needs OLD's file to be a folder or OLD's folder to be a
// file: a script only writes files into folders, so the installer could not carry that out.
bool CheckKindsKept(const std::string& oldDir, const std::string& newDir,
                    const std::vector<std::string>& newPaths, std::string* error) {
  std::error_code ec;
  for (const std::string& path : newPaths) {
    if (fs::is_directory(fs::symlink_status(NativePath(oldDir, path), ec))) {
      *error = Quote(NativePath(oldDir, path)) + " is a folder but " +
               Quote(NativePath(newDir, path)) +
               " is a file; a patch script cannot turn a folder into a file";
      return false;
    }
    for (size_t at = path.find('\\', 1); at != std::string::npos; at = path.find('\\', at + 1)) {
      const std::string folder = NativePath(oldDir, path.substr(0, at));
      const fs::file_status status = fs::symlink_status(folder, ec);
      if (fs::exists(status) && !fs::is_directory(status)) {
        *error = Quote(folder) + " is a file but " + Quote(NativePath(newDir, path.substr(0, at))) +
                 " is a folder; a patch script cannot turn a file into a folder";
        return false;
      }
    }
  }
  return true;
}

// Maps `path`, refusing a file the installer cannot carry.
bool MapChecked(const std::string& path, FileMap* file, std::string* error) {
  if (!file->Open(path, error)) return false;
  if (file->size() > kMaxDeltaFileSize) {
    *error = Quote(path) + " has " + std::to_string(file->size()) +
             " bytes; the installer's files must be smaller than 4 GiB";
    return false;
  }
  return true;
}

// Files are read in steps of this many bytes, each step's pages given back after it, so that
// comparing or summing a big file does not make it resident.
const size_t kReadStep = size_t(8) << 20;

bool SameBytes(FileMap& a, FileMap& b) {
  if (a.size() != b.size()) return false;
  for (uint64_t at = 0; at < a.size(); at += kReadStep) {
    const size_t n = size_t(std::min<uint64_t>(kReadStep, a.size() - at));
    const bool same = memcmp(a.data() + at, b.data() + at, n) == 0;
    a.Release(at, at + n);
    b.Release(at, at + n);
    if (!same) return false;
  }
  return true;
}

uint32_t CrcOfMap(FileMap& file) {
  uint32_t crc = 0;
  for (uint64_t at = 0; at < file.size(); at += kReadStep) {
    const size_t n = size_t(std::min<uint64_t>(kReadStep, file.size() - at));
    crc = CrcUpdate(crc, file.data() + at, n);
    file.Release(at, at + n);
  }
  return crc;
}

// Files from this size on have their settings tried side by side when there are threads to
// spare; smaller ones are many, and run side by side themselves.
const uint64_t kParallelTuningsFrom = uint64_t(32) << 20;

// In a split body an add's bytes go to the add stream, where nearly all bytes are zero and
// each other byte costs more than a rating of the operations with their bytes in place shows:
// runs are rated this many sixteenths of a byte more per add byte other than zero. Where an add
// only saves a short copy and insert (a build ID, a debug link), or holds the difference of two
// texts (translations), the copies and inserts then win. Block 2 of the benchmark pairs for 0,
// 3, 4, 5 and 6 (6: without large files'): samba-libs 62624, 61843, 61900, 61860 and 61787
// bytes; postgresql-15 4946912, 4946264, 4888693 and 4889168; systemd-boot-efi 31904, 31273,
// 31249, 31249 and 31249; grub-efi-amd64-bin 63636, 63612, 63549, 63549 and 64930 (its four
// images part); libpython3.11-stdlib 38117, then 38079; the others the same throughout.
const uint64_t kSplitAddByteSixteenths = 4;

// Counts the add bytes other than zero in a run of operations taken in pieces of any size.
class AddBytesCounter {
 public:
  void Take(const uint8_t* data, size_t size) {
    while (size > 0 && !ended_) {
      if (left_ > 0) {  // inside an add's or insert's bytes
        const size_t n = size_t(std::min<uint64_t>(left_, size));
        if (inAdd_)
          for (size_t k = 0; k < n; ++k) nonzero_ += data[k] != 0;
        data += n, size -= n, left_ -= n;
        continue;
      }
      if (want_ == 0) {
        op_ = data[0];
        want_ = op_ == kOpCopy || op_ == kOpAdd ? 9 : op_ == kOpInsert ? 5 : 1;
      }
      const size_t n = std::min(want_ - got_, size);
      memcpy(head_ + got_, data, n);
      data += n, size -= n, got_ += n;
      if (got_ < want_) continue;
      ended_ = want_ == 1;
      // The length field, little-endian; left_ is 0 here.
      if (op_ == kOpInsert || op_ == kOpAdd)
        for (size_t k = 4; k > 0; --k) left_ = left_ << 8 | head_[k];
      inAdd_ = op_ == kOpAdd;
      want_ = got_ = 0;
    }
  }

  // What the add bytes are rated beyond their compressed size, in bytes.
  size_t SplitExtra() const { return size_t(nonzero_ * kSplitAddByteSixteenths / 16); }

 private:
  uint8_t head_[9];
  size_t want_ = 0, got_ = 0;
  uint8_t op_ = 0;
  uint64_t left_ = 0;
  bool inAdd_ = false;
  bool ended_ = false;
  uint64_t nonzero_ = 0;
};

// The size of a run of operations once compressed as the PatchDataBlock will be, and in a split
// body (`context` points to the layout) the add bytes' extra.
size_t StoredSize(const std::vector<uint8_t>& ops, void* context) {
  size_t size = CompressedSize(ops);
  if (*static_cast<const BodyLayout*>(context) != BodyLayout::kInterleaved) {
    AddBytesCounter adds;
    adds.Take(ops.data(), ops.size());
    size += adds.SplitExtra();
  }
  return size;
}

struct MappedPair {
  FileMap* oldFile;
  FileMap* newFile;
  uint64_t allowance;  // resident file bytes let be
};

// Mapped bytes let stay resident: a sixteenth of the two files, so that they, the index (half
// the old file at most), the search logs, the runs being tried and the entry stay within 1.2
// times the old file's size.
uint64_t ResidentAllowance(uint64_t oldSize, uint64_t newSize) {
  return std::max<uint64_t>(kReleaseEvery * 2, (oldSize + newSize) / 16);
}

// Gives back what the encoder has read of both files once the system counts more resident
// than allowed: one look at the old file may map far more than the encoder counts.
void ReleasePages(void* context) {
  const MappedPair* pair = static_cast<const MappedPair*>(context);
  if (FileMap::ResidentBytes() < pair->allowance) return;
  pair->oldFile->Release(0, pair->oldFile->size());
  pair->newFile->Release(0, pair->newFile->size());
}

// Files from this size on keep their operations compressed until they are written: with adds
// they are about as large as the file, several settings are tried, and the entry waits for
// those before it.
const uint64_t kCompressOpsFrom = uint64_t(8) << 20;

// Bytes that wait for the script beyond this many go to a temporary file: a run's compressed
// operations (a file whose changes are everywhere, moved code in the original format,
// compresses to a quarter of its size or more, and the best run so far and those being tried
// are held at once), and each stream of a split script.
const size_t kSpillFrom = size_t(1) << 20;

// Bytes on their way into the script, kept in memory up to kSpillFrom bytes and beyond that in
// a temporary file (in memory when none can be made), so that a script of large files needs no
// more memory than one.
class SpillBuffer {
 public:
  SpillBuffer() = default;
  SpillBuffer(const SpillBuffer&) = delete;
  SpillBuffer& operator=(const SpillBuffer&) = delete;
  ~SpillBuffer() {
    if (file_) fclose(file_);
  }

  void Append(const uint8_t* data, size_t size) {
    size_ += size;
    if (held_.size() + size <= kSpillFrom || failed_ || !(file_ || (file_ = tmpfile()))) {
      held_.insert(held_.end(), data, data + size);
      return;
    }
    // What is held goes first, then the new bytes straight from the caller; a failed write is
    // told when the bytes are written out.
    failed_ = fwrite(held_.data(), 1, held_.size(), file_) != held_.size() ||
              fwrite(data, 1, size, file_) != size;
    held_.clear();
  }

  uint64_t size() const { return size_; }

  // Appends the bytes to `out`, a piece at a time.
  bool WriteTo(ByteSink* out, std::string* error) {
    if (file_) {
      if (failed_ || fflush(file_) != 0 || fseek(file_, 0, SEEK_SET) != 0) {
        *error = "cannot keep part of the script in a temporary file";
        return false;
      }
      std::vector<uint8_t> piece(kSpillFrom);
      for (uint64_t left = size_ - held_.size(); left > 0;) {
        const size_t n = size_t(std::min<uint64_t>(piece.size(), left));
        if (fread(piece.data(), 1, n, file_) != n) {
          *error = "cannot read back part of the script from a temporary file";
          return false;
        }
        if (!out->Append(piece.data(), n, error)) return false;
        left -= n;
      }
    }
    return out->Append(held_.data(), held_.size(), error);
  }

 private:
  std::vector<uint8_t> held_;  // the bytes after those in file_
  FILE* file_ = nullptr;
  bool failed_ = false;
  uint64_t size_ = 0;
};

// Expands the compressed operations appended to it into `out`, a piece at a time.
class ExpandingSink : public ByteSink {
 public:
  explicit ExpandingSink(ByteSink* out) : out_(*out) {
    ready_ = BZ2_bzDecompressInit(&bz_, 0, 0) == BZ_OK;
  }
  ~ExpandingSink() override {
    if (ready_) BZ2_bzDecompressEnd(&bz_);
  }

  bool Append(const uint8_t* data, size_t size, std::string* error) override {
    if (!ready_) {
      *error = "out of memory while writing the script";
      return false;
    }
    bz_.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(data));
    bz_.avail_in = unsigned(size);
    while (result_ == BZ_OK && (bz_.avail_in > 0 || bz_.avail_out == 0)) {
      bz_.next_out = piece_;
      bz_.avail_out = sizeof piece_;
      result_ = BZ2_bzDecompress(&bz_);
      const size_t got = sizeof piece_ - bz_.avail_out;
      written_ += got;
      if ((result_ == BZ_OK || result_ == BZ_STREAM_END) && got &&
          !out_.Append(reinterpret_cast<uint8_t*>(piece_), got, error))
        return false;
    }
    return true;
  }

  bool OverwriteStart(const uint8_t*, size_t, std::string* error) override {
    *error = "a rewrite of compressed operations";
    return false;
  }

  // Whether the operations expanded whole to `size` bytes.
  bool Expanded(uint64_t size, std::string* error) const {
    if (result_ == BZ_STREAM_END && written_ == size) return true;
    *error = "the operations kept for the script did not expand (code " +
             std::to_string(result_ == BZ_OK ? BZ_UNEXPECTED_EOF : result_) + ")";
    return false;
  }

 private:
  ByteSink& out_;
  bz_stream bz_ = {};
  bool ready_ = false;
  int result_ = BZ_OK;
  uint64_t written_ = 0;
  char piece_[1 << 16];
};

// A run's operations, compressed as they come as CompressedSize would compress them whole, so
// that its size is their cost; kept in a SpillBuffer. Should the library fail, they are kept as
// they are and cost their size, as CompressedSize's do.
class CompressedOps : public OpsStore {
 public:
  explicit CompressedOps(bool split) : split_(split) {
    compressing_ = BZ2_bzCompressInit(&bz_, 9, 0, 0) == BZ_OK;
  }
  ~CompressedOps() override {
    if (compressing_) BZ2_bzCompressEnd(&bz_);
  }

  void Take(const uint8_t* data, size_t size) override {
    rawSize_ += size;
    if (split_) adds_.Take(data, size);
    if (!compressing_) {
      bytes_.Append(data, size);
      return;
    }
    bz_.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(data));
    bz_.avail_in = unsigned(size);
    while (bz_.avail_in > 0) Pump(BZ_RUN);
  }

  size_t Finish() override {
    const size_t extra = split_ ? adds_.SplitExtra() : 0;
    if (!compressing_) return size_t(bytes_.size()) + extra;
    char empty = 0;
    bz_.next_in = &empty;
    bz_.avail_in = 0;
    while (Pump(BZ_FINISH) == BZ_FINISH_OK) {}
    BZ2_bzCompressEnd(&bz_);
    compressing_ = false;
    compressed_ = true;
    return size_t(bytes_.size()) + extra;
  }

  uint64_t rawSize() const { return rawSize_; }
  // Bytes held: once finished, the run's cost.
  uint64_t heldSize() const { return bytes_.size(); }

  // Appends the operations to `out`, a piece at a time.
  bool WriteTo(ByteSink* out, std::string* error) {
    if (!compressed_) return bytes_.WriteTo(out, error);
    ExpandingSink expanding(out);
    return bytes_.WriteTo(&expanding, error) && expanding.Expanded(rawSize_, error);
  }

 private:
  int Pump(int action) {
    char out[1 << 16];
    bz_.next_out = out;
    bz_.avail_out = sizeof out;
    const int result = BZ2_bzCompress(&bz_, action);
    bytes_.Append(reinterpret_cast<uint8_t*>(out), sizeof out - bz_.avail_out);
    return result;
  }

  bz_stream bz_ = {};
  bool compressing_ = false;
  bool compressed_ = false;
  SpillBuffer bytes_;
  uint64_t rawSize_ = 0;
  const bool split_;  // rated as StoredSize rates a split body's operations
  AddBytesCounter adds_;
};

// `context` points to the layout.
std::unique_ptr<OpsStore> MakeCompressedOps(void* context) {
  return std::unique_ptr<OpsStore>(
      new CompressedOps(*static_cast<const BodyLayout*>(context) != BodyLayout::kInterleaved));
}

// Appends the operations for one file, chosen by compressed size (StoredSize) among `tunings`;
// those of a large file go to *kept instead, compressed.
void EncodeBest(FileMap& oldFile, FileMap& newFile, const std::vector<DeltaTuning>& tunings,
                BodyLayout layout, const JobPlan& plan, std::vector<uint8_t>* out,
                std::unique_ptr<OpsStore>* kept, DeltaStats* stats) {
  const bool choose = newFile.size() >= kTryTuningsFrom;
  MappedPair pair = {&oldFile, &newFile, plan.allowance};
  DeltaMemory memory = plan.memory;
  // Files that fit the allowance whole are not worth watching.
  if (oldFile.size() + newFile.size() > pair.allowance) {
    memory.release = ReleasePages;
    memory.context = &pair;
  }
  if (choose && plan.compressOps) {
    EncodeDeltaStoring(oldFile.data(), size_t(oldFile.size()), newFile.data(),
                       size_t(newFile.size()), tunings, MakeCompressedOps, &layout, kept, stats,
                       memory, plan.width);
    return;
  }
  EncodeDeltaChoosing(oldFile.data(), size_t(oldFile.size()), newFile.data(),
                      size_t(newFile.size()),
                      choose ? tunings : std::vector<DeltaTuning>{tunings[0]},
                      choose ? StoredSize : nullptr, &layout, out, stats, memory, plan.width);
}

// An old file that a new file's entry may be built from (kBodyFrom).
struct SourceFile {
  std::string path;  // stored form
  uint64_t size = 0;
  bool inNew = false;  // NEW holds it too: only a source where the two are the same
};

// One file of NEW on its way into the script: filled by a worker, taken by the writer.
struct FileJob {
  std::string path;
  bool hasOld = false;
  uint64_t newSize = 0;  // as listed, for progress and the memory estimate
  JobPlan plan;
  bool done = false;
  bool ok = false;
  bool unchanged = false;
  bool crcTwin = false;
  std::string error;
  DiffEntry entry;
  // The entry as it goes into the script: its start, then an update entry's operations or a
  // new-file entry's data, which is copied from the file only when the script is put together.
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> ops;
  std::unique_ptr<OpsStore> keptOps;  // instead of ops, for a large file
  uint32_t crcNew = 0;
  // A file OLD lacks, with kSplitFrom: old files of its size and of its name to try as its
  // source, in that order.
  std::vector<SourceFile> twins;
  std::vector<SourceFile> namesakes;
};

// Whether old file `source` (mapped into *file) stays as it is through the whole run: NEW holds
// it with the same bytes, or not at all. A file that has changed since it was listed, or cannot
// be read, is no source.
bool Untouched(const std::string& oldDir, const std::string& newDir, const SourceFile& source,
               FileMap* file) {
  std::string ignored;
  if (!file->Open(NativePath(oldDir, source.path), &ignored) || file->size() != source.size)
    return false;
  if (!source.inNew) return true;
  FileMap inNew;
  return inNew.Open(NativePath(newDir, source.path), &ignored) && SameBytes(*file, inNew);
}

// What `file` would cost stored whole: its bytes compressed as block 2 compresses them.
uint64_t WholeCost(FileMap& file) {
  CompressedOps store(false);
  for (uint64_t at = 0; at < file.size(); at += kReadStep) {
    const size_t n = size_t(std::min<uint64_t>(kReadStep, file.size() - at));
    store.Take(file.data() + at, n);
    file.Release(at, at + n);
  }
  return store.Finish();
}

// A body from another file must save an eighth of the file stored whole and this many bytes
// more: its entry fails where users changed or removed the source, which a whole file does not.
const uint64_t kFromMargin = 64;

// Makes `job` (a file OLD lacks) an update entry built from one of its candidate sources: a
// twin with the same bytes as one copy, or else the namesake whose operations compress smallest
// when they save enough. False: none serves, and the job is left for a new-file entry.
bool EncodeFromSource(const std::string& oldDir, const std::string& newDir,
                      const std::vector<DeltaTuning>& tunings, BodyLayout layout,
                      FileMap& newFile, uint32_t crcNew, FileJob* job) {
  DiffEntry& entry = job->entry;
  const SourceFile* chosen = nullptr;
  uint32_t crcSource = 0;
  for (const SourceFile& twin : job->twins) {
    FileMap source;
    if (!Untouched(oldDir, newDir, twin, &source) || !SameBytes(source, newFile)) continue;
    PutCopy(&job->ops, uint32_t(newFile.size()), 0);
    PutEnd(&job->ops);
    entry.delta.copies = 1;
    entry.delta.copiedBytes = newFile.size();
    chosen = &twin;
    crcSource = crcNew;
    break;
  }
  uint64_t best = UINT64_MAX;
  for (size_t k = 0; !chosen && k < job->namesakes.size(); ++k) {
    const SourceFile& namesake = job->namesakes[k];
    FileMap source;
    if (!Untouched(oldDir, newDir, namesake, &source)) continue;
    std::vector<uint8_t> ops;
    std::unique_ptr<OpsStore> kept;
    DeltaStats stats;
    EncodeBest(source, newFile, tunings, layout, job->plan, &ops, &kept, &stats);
    const uint64_t cost =
        kept ? static_cast<const CompressedOps&>(*kept).heldSize() : CompressedSize(ops);
    if (cost >= best) continue;
    best = cost;
    crcSource = CrcOfMap(source);
    job->ops.swap(ops);
    job->keptOps = std::move(kept);
    entry.delta = stats;
    entry.source = namesake.path;
    entry.oldSize = namesake.size;
  }
  if (!chosen && best != UINT64_MAX) {
    const uint64_t whole = WholeCost(newFile);
    if (best + whole / 8 + kFromMargin < whole)
      for (const SourceFile& namesake : job->namesakes)
        if (namesake.path == entry.source) chosen = &namesake;
  }
  if (!chosen) {
    std::vector<uint8_t>().swap(job->ops);
    job->keptOps.reset();
    entry.delta = DeltaStats();
    entry.source.clear();
    entry.oldSize = 0;
    return false;
  }
  entry.update = true;
  entry.source = chosen->path;
  entry.oldSize = chosen->size;
  PutEntryHeader(&job->bytes, crcSource, crcNew, job->path);
  PutFromBodyStart(&job->bytes, chosen->path);
  PutSplitBodyStart(&job->bytes);
  return true;
}

// Compares one file and makes its entry. False with job->error.
bool MakeEntry(const std::string& oldDir, const std::string& newDir,
               const std::vector<DeltaTuning>& tunings, BodyLayout layout, FileJob* job) {
  FileMap newFile, oldFile;
  if (!MapChecked(NativePath(newDir, job->path), &newFile, &job->error)) return false;
  if (job->hasOld && !MapChecked(NativePath(oldDir, job->path), &oldFile, &job->error))
    return false;
  if (job->hasOld && SameBytes(oldFile, newFile)) {
    job->unchanged = true;
    return true;
  }
  DiffEntry& entry = job->entry;
  entry.path = job->path;
  entry.newSize = newFile.size();
  const uint32_t crcNew = CrcOfMap(newFile);
  const uint32_t crcOld = job->hasOld ? CrcOfMap(oldFile) : 0;
  job->crcTwin = job->hasOld && crcOld == crcNew;
  std::vector<uint8_t>& out = job->bytes;
  if (job->hasOld && crcOld != crcNew) {
    entry.update = true;
    entry.oldSize = oldFile.size();
    PutEntryHeader(&out, crcOld, crcNew, job->path);
    if (layout != BodyLayout::kInterleaved) PutSplitBodyStart(&out);
    EncodeBest(oldFile, newFile, tunings, layout, job->plan, &job->ops, &job->keptOps,
               &entry.delta);
  } else if (job->hasOld ||
             !EncodeFromSource(oldDir, newDir, tunings, layout, newFile, crcNew, job)) {
    PutEntryHeader(&out, 0, crcNew, job->path);
    PutNewFileHead(&out, size_t(newFile.size()));
  }
  job->crcNew = crcNew;
  const uint64_t ops = job->keptOps
                           ? static_cast<const CompressedOps&>(*job->keptOps).rawSize()
                           : job->ops.size();
  entry.stored = out.size() + (entry.update ? ops : newFile.size());
  return true;
}

// The files of NEW, encoded by worker threads in any order and written in list order by the
// calling thread, so that the script does not depend on how many threads there are. A job
// starts only while its planned peak and those of the jobs started and not yet written fit the
// budget together (a finished job counts only what it keeps); one job alone may always run.
class DiffPool {
 public:
  DiffPool(const std::string& oldDir, const std::string& newDir,
           const std::vector<DeltaTuning>& tunings, BodyLayout layout, std::vector<FileJob>* jobs,
           uint64_t budget)
      : oldDir_(oldDir), newDir_(newDir), tunings_(tunings), layout_(layout), jobs_(*jobs),
        budget_(budget) {}

  void Start(unsigned threads) {
    for (unsigned t = 0; t < threads; ++t) workers_.emplace_back([this] { Work(); });
  }

  // Waits for job `k` and returns it; `finishedBytes` gets the NEW bytes of all finished jobs.
  FileJob& Wait(size_t k, uint64_t* finishedBytes, DiffProgress progress, void* context,
                uint64_t total) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (progress && reported_ != finishedBytes_) {
        reported_ = finishedBytes_;
        lock.unlock();
        progress(context, reported_, total);
        lock.lock();
        continue;
      }
      if (jobs_[k].done) break;
      changed_.wait(lock);
    }
    *finishedBytes = finishedBytes_;
    return jobs_[k];
  }

  // Job `k` is taken: its memory goes back to the budget.
  void Written(size_t k) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ -= jobs_[k].plan.kept;
    changed_.notify_all();
  }

  // Lets the workers end after the jobs they hold, and waits for them.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    for (std::thread& t : workers_) t.join();
    workers_.clear();
  }

  ~DiffPool() { Stop(); }

 private:
  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      while (!stopping_ && next_ < jobs_.size() && held_ > 0 &&
             held_ + jobs_[next_].plan.peak > budget_)
        changed_.wait(lock);
      if (stopping_ || next_ == jobs_.size()) return;
      FileJob& job = jobs_[next_++];
      held_ += job.plan.peak;
      lock.unlock();
      job.ok = MakeEntry(oldDir_, newDir_, tunings_, layout_, &job);
      lock.lock();
      held_ -= job.plan.peak - job.plan.kept;
      job.done = true;
      finishedBytes_ += job.newSize;
      changed_.notify_all();
    }
  }

  const std::string& oldDir_;
  const std::string& newDir_;
  const std::vector<DeltaTuning>& tunings_;
  const BodyLayout layout_;
  std::vector<FileJob>& jobs_;
  const uint64_t budget_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> workers_;
  size_t next_ = 0;
  uint64_t held_ = 0;
  uint64_t finishedBytes_ = 0;
  uint64_t reported_ = 0;
  bool stopping_ = false;
};

// A stored path as Windows tells paths apart: without regard to letter case.
std::string PathKey(const std::string& stored) {
  std::string utf8;
  if (!AnsiToUtf8(stored, &utf8)) utf8 = stored;
  return NameKey(utf8);
}

// Folders between two stored paths: up from the one's folder to where they part, then down.
size_t FolderDistance(const std::string& a, const std::string& b) {
  size_t common = 0, at = 0;
  for (;;) {
    const size_t endA = a.find('\\', at + 1), endB = b.find('\\', at + 1);
    if (endA == std::string::npos || endA != endB || a.compare(at, endA - at, b, at, endA - at))
      break;
    ++common;
    at = endA;
  }
  const auto depth = [](const std::string& p) {
    return size_t(std::count(p.begin(), p.end(), '\\'));
  };
  return depth(a) + depth(b) - 2 - 2 * common;
}

// Whether the installer can name old file `stored` as a source: OLD is read without NEW's
// rules, so a file only in OLD may have a name it refuses, or one the code page cannot hold.
bool NamesASource(const std::string& stored) {
  if (stored.size() > kMaxEntryPath) return false;
  for (size_t at = 1, end; at < stored.size(); at = end + 1) {
    end = std::min(stored.find('\\', at), stored.size());
    const std::string name = stored.substr(at, end - at);
    std::string utf8, back;
    if (!WhyNotPlainFileName(name).empty() || (at == 1 && IsResultLogName("", name)) ||
        !AnsiToUtf8(name, &utf8) || !Utf8ToAnsi(utf8, &back) || back != name)
      return false;
  }
  return true;
}

// Same-size old files compared with each new file, at most.
const size_t kMaxTwins = 8;

// Fills the candidate sources (twins, namesakes) of the jobs of files OLD lacks: old files that
// no entry changes, so that none is changed before or after the entry that reads it. Those are
// the files only in OLD and those NEW holds as well (only sources where the two are the same,
// which the job checks), less any that a NEW path names in another case or that the installer
// cannot name. Nearest folder first,
// then (namesakes) the nearest size, then byte order: the same candidates for any thread count.
// A namesake is at most four times larger or smaller than the new file.
void FindSources(const std::string& oldDir, const std::vector<std::string>& oldPaths,
                 const std::vector<std::string>& newPaths, std::vector<FileJob>* jobs) {
  if (std::none_of(jobs->begin(), jobs->end(), [](const FileJob& job) {
        return !job.hasOld && job.newSize >= kTryTuningsFrom;
      }))
    return;
  std::map<std::string, std::string> newByKey;
  for (const std::string& path : newPaths) newByKey[PathKey(path)] = path;
  std::multimap<uint64_t, SourceFile> bySize;
  std::multimap<std::string, SourceFile> byName;
  std::error_code ec;
  for (const std::string& path : oldPaths) {
    const auto named = newByKey.find(PathKey(path));
    if ((named != newByKey.end() && named->second != path) || !NamesASource(path)) continue;
    SourceFile source;
    source.path = path;
    source.size = fs::file_size(NativePath(oldDir, path), ec);
    if (ec || source.size == 0 || source.size > kMaxDeltaFileSize) continue;
    source.inNew = named != newByKey.end();
    bySize.emplace(source.size, source);
    byName.emplace(PathKey(path.substr(path.rfind('\\') + 1)), source);
  }
  for (FileJob& job : *jobs) {
    if (job.hasOld || job.newSize < kTryTuningsFrom) continue;
    const auto nearer = [&](const SourceFile& a, const SourceFile& b) {
      const size_t da = FolderDistance(job.path, a.path), db = FolderDistance(job.path, b.path);
      const uint64_t sa = std::max(a.size, job.newSize) - std::min(a.size, job.newSize);
      const uint64_t sb = std::max(b.size, job.newSize) - std::min(b.size, job.newSize);
      return da != db ? da < db : sa != sb ? sa < sb : a.path < b.path;
    };
    const auto twins = bySize.equal_range(job.newSize);
    for (auto it = twins.first; it != twins.second; ++it) job.twins.push_back(it->second);
    const auto names = byName.equal_range(PathKey(job.path.substr(job.path.rfind('\\') + 1)));
    for (auto it = names.first; it != names.second; ++it)
      if (it->second.size / 4 <= job.newSize && job.newSize / 4 <= it->second.size)
        job.namesakes.push_back(it->second);
    std::sort(job.twins.begin(), job.twins.end(), nearer);
    std::sort(job.namesakes.begin(), job.namesakes.end(), nearer);
    if (job.twins.size() > kMaxTwins) job.twins.resize(kMaxTwins);
    if (job.namesakes.size() > kMaxNamesakes) job.namesakes.resize(kMaxNamesakes);
  }
}

// Takes an update body's operations as the encoder writes them, in pieces of any size, and
// passes on their op codes and fields, while the bytes of each add go to `adds` and those of
// each insert to `literals`: the operations of a split body.
class SplitOps : public ByteSink {
 public:
  SplitOps(ByteSink* out, SpillBuffer* adds, SpillBuffer* literals)
      : out_(*out), adds_(*adds), literals_(*literals) {}

  bool Append(const uint8_t* data, size_t size, std::string* error) override {
    fields_.clear();
    while (size > 0) {
      if (left_ > 0) {  // inside an add's or insert's bytes
        const size_t n = size_t(std::min<uint64_t>(left_, size));
        (inAdd_ ? adds_ : literals_).Append(data, n);
        data += n, size -= n, left_ -= n;
        continue;
      }
      if (ended_) return Bad("bytes after the end byte", error);
      if (want_ == 0) {
        op_ = data[0];
        want_ = op_ == kOpCopy || op_ == kOpAdd ? 9 : op_ == kOpInsert ? 5 : op_ == kOpEnd ? 1 : 0;
        if (want_ == 0) return Bad("op code " + std::to_string(op_), error);
      }
      const size_t n = std::min(want_ - got_, size);
      memcpy(head_ + got_, data, n);
      data += n, size -= n, got_ += n;
      if (got_ < want_) continue;
      // A split body's copy or add holds its offset less the place in the new file where it
      // starts: along code that only moved, the same number again and again.
      const uint32_t length = ReadLe32(head_ + 1);
      if (op_ == kOpCopy || op_ == kOpAdd) WriteLe32(head_ + 5, ReadLe32(head_ + 5) - made_);
      if (op_ != kOpEnd) made_ += length;
      fields_.insert(fields_.end(), head_, head_ + want_);
      if (op_ == kOpInsert || op_ == kOpAdd) left_ = length;
      inAdd_ = op_ == kOpAdd;
      ended_ = op_ == kOpEnd;
      want_ = got_ = 0;
    }
    return out_.Append(fields_.data(), fields_.size(), error);
  }

  bool OverwriteStart(const uint8_t*, size_t, std::string* error) override {
    return Bad("a rewrite", error);
  }

  // Whether the operations ended with the end byte.
  bool Ended(std::string* error) { return ended_ || Bad("no end byte", error); }

 private:
  static bool Bad(const std::string& what, std::string* error) {
    *error = "the operations kept for the script are damaged: " + what;
    return false;
  }

  ByteSink& out_;
  SpillBuffer& adds_;
  SpillBuffer& literals_;
  std::vector<uint8_t> fields_;
  uint8_t head_[9];
  size_t want_ = 0, got_ = 0;  // of the operation's fields in head_
  uint8_t op_ = 0;
  uint64_t left_ = 0;  // bytes of the current add or insert still to come
  uint32_t made_ = 0;  // the new file's bytes before the current operation (low 32 bits)
  bool inAdd_ = false;
  bool ended_ = false;
};

// Where a split script's add bytes and literals wait for the last entry.
struct SplitStreams {
  SpillBuffer adds;
  SpillBuffer literals;
  bool used = false;  // a split body was written
};

// Writes job's entry to `out` and lets its operations go; those of a split body (`streams`
// not null) pass through SplitOps. A new file's data is copied from the file, which must still
// be what its CRC was taken of.
bool WriteEntry(const std::string& newDir, FileJob* job, ByteSink* out, SplitStreams* streams,
                std::string* error) {
  if (!out->Append(job->bytes.data(), job->bytes.size(), error)) return false;
  std::vector<uint8_t>().swap(job->bytes);
  if (job->entry.update) {
    auto writeOps = [&](ByteSink* to) {
      return job->keptOps ? static_cast<CompressedOps&>(*job->keptOps).WriteTo(to, error)
                          : to->Append(job->ops.data(), job->ops.size(), error);
    };
    bool ok;
    if (streams) {
      SplitOps split(out, &streams->adds, &streams->literals);
      ok = writeOps(&split) && split.Ended(error);
      streams->used = true;
    } else {
      ok = writeOps(out);
    }
    std::vector<uint8_t>().swap(job->ops);
    job->keptOps.reset();
    return ok;
  }
  const std::string path = NativePath(newDir, job->path);
  FileMap file;
  if (!MapChecked(path, &file, error)) return false;
  // Each step is copied first, so that the CRC is of the very bytes written.
  std::vector<uint8_t> step(size_t(std::min<uint64_t>(kReadStep, file.size())));
  uint32_t crc = 0;
  for (uint64_t at = 0; at < file.size(); at += kReadStep) {
    const size_t n = size_t(std::min<uint64_t>(kReadStep, file.size() - at));
    memcpy(step.data(), file.data() + at, n);
    file.Release(at, at + n);
    crc = CrcUpdate(crc, step.data(), n);
    if (!out->Append(step.data(), n, error)) return false;
  }
  if (file.size() != job->entry.newSize || crc != job->crcNew) {
    *error = Quote(path) + " changed while the folders were compared";
    return false;
  }
  return true;
}

// Appends the streams of a script with split bodies and the trailer that ends it.
bool EndSplitScript(SplitStreams* streams, ByteSink* out, std::string* error) {
  for (const SpillBuffer* stream : {&streams->adds, &streams->literals})
    if (stream->size() > UINT32_MAX) {
      *error = "the script's " + std::string(stream == &streams->adds ? "add" : "literal") +
               " stream would have 4 GiB or more, more than its length field holds";
      return false;
    }
  std::vector<uint8_t> trailer;
  PutSplitTrailer(&trailer, uint32_t(streams->adds.size()), uint32_t(streams->literals.size()));
  return streams->adds.WriteTo(out, error) && streams->literals.WriteTo(out, error) &&
         out->Append(trailer.data(), trailer.size(), error);
}

}  // namespace

const std::vector<DeltaTuning> kDefaultTunings = {
    {8, 8, 16, 40, 24},
    {8, 8, 16, 96, 48},
    {8, 8, 16, 24, 16},
};

// Equal stretches inside an approximate match become copies from 16 KiB on: splitting more
// often costs more in operation headers than the zeros it saves, and the split keeps the
// script of a big file with scattered edits near the size of its changed regions. The add
// settings differ in what a new region must save (copyBits; repeatBits is unused with adds):
// where code moved, a dearer region start keeps fewer, longer adds; and in how readily a region
// follows code shifted a few bytes (nearGain): most eagerly with the dearest region start. The
// last three are kDefaultTunings themselves, so that the operations of a file whose settings are
// tried never compress larger than in the original format: files whose edits adds do not help
// keep copies and inserts.
const std::vector<DeltaTuning> kAddTunings = {
    {8, 8, 16, 40, 24, 16384, 4},
    {8, 8, 16, 24, 16, 16384, 8},
    {8, 8, 16, 60, 32, 16384, 3},
    {8, 8, 16, 40, 24, 0},
    {8, 8, 16, 96, 48, 0},
    {8, 8, 16, 24, 16, 0},
};

namespace {

const uint64_t kMiB = uint64_t(1) << 20;
// The process's memory bound: this much at least, else this many tenths of the largest old
// file.
const uint64_t kMinProcessBound = 64 * kMiB;
const uint64_t kProcessBoundTenths = 12;
// What the process takes besides the jobs: its code, libraries and heap (about 5 MiB at the
// start, 11 MiB after a few hundred files), and the writer's split streams held in memory (1
// MiB each).
const uint64_t kProcessReserve = 12 * kMiB;
// A bzip2 compressor at level 9 (two arrays of 4 bytes per byte of its 900 kB block), and a
// decompressor (4 bytes per byte of the block) with its piece.
const uint64_t kCompressorBytes = 7 * kMiB + kMiB / 2;
const uint64_t kExpanderBytes = 4 * kMiB;
// The literal estimate: a count and a cost per byte pair.
const uint64_t kLiteralCostBytes = kMiB / 2;
// A run whose operations go to a CompressedOps: the piece the encoder fills (kOpsPiece and the
// operation that crosses it, in a vector that doubled) and the compressed bytes kept in memory.
const uint64_t kStoredRunBytes = 2 * kMiB + kSpillFrom;
// The resident allowance a plan may come down to: with less, the pages a file's encoding goes
// back to are given back so often that mapping them again takes several times the encoder's
// own time (about 3 times for a file of 9 MB with 4 MiB).
const uint64_t kMinAllowance = 12 * kMiB;
// Resident mapped bytes beyond the allowance before the encoder next offers to give pages
// back: what it reads between two offers, and the pages the system maps around one byte read.
const uint64_t kAllowanceOvershoot = kReleaseEvery + 2 * kMiB;

// A run's operations, held plain: about the new file's size with adds (a copy or add of 9
// bytes per 8 bytes or more, an insert's 5 bytes before its literals), a quarter more at most
// on the files seen.
uint64_t PlainOpsBytes(uint64_t newSize) { return newSize + newSize / 4 + 64 * 1024; }

// A file's bytes resident while it is read through: whole when read, else a step at a time.
uint64_t ReadThrough(uint64_t size) { return size <= kMaxReadWhole ? size : kReadStep; }

// What writing a new-file entry holds: the file, and a step's copy.
uint64_t NewFileWrite(uint64_t newSize) {
  return ReadThrough(newSize) + std::min<uint64_t>(kReadStep, newSize);
}

// The peak of an update job with `plan`'s settings (its peak and kept fields aside), and what
// it keeps once encoded, in *kept.
uint64_t UpdatePeak(uint64_t oldSize, uint64_t newSize, const std::vector<DeltaTuning>& tunings,
                    const JobPlan& plan, uint64_t* kept) {
  uint64_t held = 0, mapped = 0;
  for (const uint64_t size : {oldSize, newSize}) (size <= kMaxReadWhole ? held : mapped) += size;
  uint64_t peak = held + std::min(mapped, plan.allowance + kAllowanceOvershoot);
  peak += kLiteralCostBytes + DeltaIndexBytes(size_t(oldSize), plan.memory.indexBudget);
  const bool choose = newSize >= kTryTuningsFrom;
  const uint64_t width = plan.width;
  const uint64_t plain = PlainOpsBytes(newSize);
  if (!choose) {
    peak += 2 * plain;  // one run, in a vector that doubles
    *kept = plain;
  } else if (plan.compressOps) {
    peak += SearchLogBytes(size_t(newSize), tunings, plan.memory.logBudget);
    peak += width * (kCompressorBytes + kStoredRunBytes) + kSpillFrom;
    *kept = kSpillFrom + kExpanderBytes;
  } else {
    // The best run so far, and each run being made (doubling) or rated.
    peak += SearchLogBytes(size_t(newSize), tunings, plan.memory.logBudget);
    peak += plain + width * (2 * plain + kCompressorBytes);
    *kept = plain;
  }
  // A changed file whose CRC did not change is written as a new file.
  *kept = std::max(*kept, NewFileWrite(newSize));
  return std::max(peak, *kept);
}

}  // namespace

uint64_t JobShare(uint64_t budget, unsigned threads) { return budget / std::max(threads, 2u); }

uint64_t DiffJobsBudget(uint64_t largestOld) {
  const uint64_t bound = std::max(kMinProcessBound, largestOld / 10 * kProcessBoundTenths);
  return bound - kProcessReserve;
}

JobPlan PlanJob(uint64_t oldSize, uint64_t newSize, bool hasOld,
                const std::vector<DeltaTuning>& tunings, unsigned threads, uint64_t budget) {
  JobPlan plan;
  if (!hasOld) {
    plan.peak = plan.kept = NewFileWrite(newSize);
    return plan;
  }
  plan.allowance = ResidentAllowance(oldSize, newSize);
  plan.compressOps = newSize >= kCompressOpsFrom;
  auto peak = [&] { return UpdatePeak(oldSize, newSize, tunings, plan, &plan.kept); };
  // What is left of `limit` once all but `part` is counted, for the logs or the index.
  auto room = [&](uint64_t part, uint64_t limit) {
    const uint64_t rest = peak() - part;
    return rest < limit ? limit - rest : 0;
  };
  auto logs = [&] { return SearchLogBytes(size_t(newSize), tunings, plan.memory.logBudget); };
  // The index shapes the operations, so it is settled as for one thread: the script must not
  // depend on the number.
  plan.memory.logBudget = 0;
  const uint64_t defaultAllowance = plan.allowance;
  // Only mapped bytes are given back: the allowance matters only where a file is mapped.
  if (peak() > budget && std::max(oldSize, newSize) > kMaxReadWhole) {
    plan.allowance = kMinAllowance;
    if (peak() <= budget)
      plan.allowance = std::min(defaultAllowance, kMinAllowance + (budget - peak()));
  }
  if (peak() > budget && newSize >= kTryTuningsFrom && !plan.compressOps) {
    // Where it lowers the peak: a compressor per run being made, instead of the plain runs.
    const uint64_t plainPeak = peak();
    plan.compressOps = true;
    if (peak() >= plainPeak) plan.compressOps = false;
  }
  if (peak() > budget) {
    const uint64_t index = DeltaIndexBytes(size_t(oldSize), 0);
    plan.memory.indexBudget = size_t(std::max<uint64_t>(room(index, budget), 1));
  } else {
    plan.memory.logBudget = kMaxSearchLog;
    if (peak() > budget) plan.memory.logBudget = size_t(room(logs(), budget));
  }
  // Then what threads change, which costs only time: a large file's settings tried side by
  // side where that fits, their logs giving way first; a job's logs giving way so that it fits
  // its share (JobShare), when nothing else need change for it. On one thread only below
  // kCompressOpsFrom: such files are many, and a heap that gives every block back costs them
  // a third more time; a larger file keeps its logs, and the heap gives back instead.
  const size_t logBudget = plan.memory.logBudget;
  if (threads > 1 && newSize >= kParallelTuningsFrom) {
    plan.width = threads;
    plan.memory.logBudget = size_t(std::min<uint64_t>(logBudget, room(logs(), budget)));
    if (peak() > budget) {
      plan.width = 1;
      plan.memory.logBudget = logBudget;
    }
  }
  const uint64_t share = JobShare(budget, threads);
  if (plan.width == 1 && peak() > share && (threads > 1 || newSize < kCompressOpsFrom)) {
    plan.memory.logBudget = size_t(std::min<uint64_t>(logBudget, room(logs(), share)));
    if (peak() > share) plan.memory.logBudget = logBudget;
  }
  plan.peak = peak();
  return plan;
}

std::string NativePath(const std::string& dir, const std::string& stored) {
  // Stored paths are in the installer's code page; the folders on this system hold UTF-8 names.
  std::string relative;
  if (!AnsiToUtf8(stored.substr(1), &relative)) relative = stored.substr(1);
  std::replace(relative.begin(), relative.end(), '\\', char(fs::path::preferred_separator));
  return (fs::path(dir) / fs::u8path(relative)).string();
}

bool ListTree(const std::string& dir, std::vector<std::string>* paths, std::string* error) {
  return ListFolder(dir, true, paths, error);
}

bool ListOldTree(const std::string& dir, std::vector<std::string>* paths, std::string* error) {
  return ListFolder(dir, false, paths, error);
}

bool DiffTrees(const std::string& oldDir, const std::string& newDir, TreeDiff* diff,
               std::string* error, DiffProgress progress, void* context,
               const std::vector<DeltaTuning>& tunings, unsigned threads, ByteSink* sink,
               BodyLayout layout) {
  BuildCrcTable();
  std::vector<std::string> oldPaths, newPaths;
  if (!ListFolder(oldDir, false, &oldPaths, error)) return false;
  if (!ListFolder(newDir, true, &newPaths, error)) return false;
  if (!CheckKindsKept(oldDir, newDir, newPaths, error)) return false;
  diff->newFiles = newPaths;
  std::map<std::string, bool> inNew;
  for (const std::string& p : newPaths) inNew[p] = true;
  for (const std::string& p : oldPaths)
    if (!inNew.count(p)) diff->onlyInOld.push_back(p);
  std::map<std::string, bool> inOld;
  for (const std::string& p : oldPaths) inOld[p] = true;

  std::vector<FileJob> jobs(newPaths.size());
  std::vector<uint64_t> oldSizes(newPaths.size());
  uint64_t total = 0, largestOld = 0;
  std::error_code ec;
  for (size_t k = 0; k < newPaths.size(); ++k) {
    FileJob& job = jobs[k];
    job.path = newPaths[k];
    job.hasOld = inOld.count(job.path) != 0;
    job.newSize = fs::file_size(NativePath(newDir, job.path), ec);
    if (ec) job.newSize = 0;
    oldSizes[k] = job.hasOld ? fs::file_size(NativePath(oldDir, job.path), ec) : 0;
    if (ec) oldSizes[k] = 0;
    total += job.newSize;
    largestOld = std::max(largestOld, oldSizes[k]);
  }
  if (layout == BodyLayout::kSplitFrom) FindSources(oldDir, oldPaths, newPaths, &jobs);
  if (threads == 0) threads = DefaultThreads();
  const std::vector<DeltaTuning>& tried = tunings.empty() ? kDefaultTunings : tunings;
  const uint64_t budget = DiffJobsBudget(largestOld);
  uint64_t largestPeak = 0;
  for (size_t k = 0; k < jobs.size(); ++k) {
    // A file built from another is planned as an update from the largest it tries.
    uint64_t oldSize = oldSizes[k];
    for (const SourceFile& source : jobs[k].namesakes) oldSize = std::max(oldSize, source.size);
    jobs[k].plan = PlanJob(oldSize, jobs[k].newSize, oldSize != 0 || jobs[k].hasOld, tried,
                           threads, budget);
    largestPeak = std::max(largestPeak, jobs[k].plan.peak);
  }
  // The heap keeps what a job frees for the next one on its thread: within the budget while
  // every job fits its share (each thread's heap then holds a share at most), not once one
  // needs more.
  if (largestPeak > JobShare(budget, threads)) ReturnLargeBlocks();
  DiffPool pool(oldDir, newDir, tried, layout, &jobs, budget);
  pool.Start(threads);

  VectorSink inMemory(&diff->script);
  ByteSink& out = sink ? *sink : inMemory;
  uint8_t count[4] = {0, 0, 0, 0};
  if (!out.Append(count, 4, error)) return false;
  diff->scriptSize = 4;
  SplitStreams streams;
  SplitStreams* split = layout != BodyLayout::kInterleaved ? &streams : nullptr;
  for (size_t k = 0; k < jobs.size(); ++k) {
    uint64_t finished = 0;
    FileJob& job = pool.Wait(k, &finished, progress, context, total);
    if (!job.ok) {
      *error = job.error;
      return false;
    }
    if (job.unchanged) {
      ++diff->unchanged;
    } else {
      if (diff->entries.size() == kMaxEntries) {
        *error = Quote(newDir) + " needs more than 65535 entries, the most one script holds";
        return false;
      }
      if (job.crcTwin) diff->crcTwins.push_back(job.path);
      if (!WriteEntry(newDir, &job, &out, split, error)) return false;
      diff->scriptSize += job.entry.stored;
      diff->entries.push_back(job.entry);
    }
    pool.Written(k);
  }
  pool.Stop();
  if (streams.used && !EndSplitScript(&streams, &out, error)) return false;
  if (streams.used) diff->scriptSize += kSplitTrailerSize;
  WriteLe32(count, uint32_t(diff->entries.size()));
  return out.OverwriteStart(count, 4, error);
}

unsigned DefaultThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

}  // namespace vt
