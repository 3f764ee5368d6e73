// Patch scripts for tests, written through the format's one writer (format/script_writer.h).
// Shared by the native and the Windows-side tests.
#ifndef VANTREL_TESTS_COMMON_SCRIPT_BUILDER_H
#define VANTREL_TESTS_COMMON_SCRIPT_BUILDER_H

#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/script_writer.h"
#include "patch/crc32.h"

namespace vtt {

typedef std::vector<uint8_t> Bytes;

// CRC-32 of a text's bytes (BuildCrcTable must have run).
inline uint32_t Crc(const std::string& s) {
  return vt::CrcBytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// A script under construction. Script() counts its entries as they are added; Script(n) states
// the count n whatever follows, so a test can make it lie. Le32, Raw and Op write bytes as they
// are, for damaged scripts.
class Script {
 public:
  Script() : counting_(true) { vt::StartScript(&bytes_); }
  explicit Script(uint32_t count) { vt::StartScript(&bytes_, count); }

  // An entry's header; its body follows.
  Script& Entry(uint32_t crcOriginal, uint32_t crcUpdated, const std::string& path) {
    vt::PutEntryHeader(&bytes_, crcOriginal, crcUpdated, path);
    if (counting_) vt::SetEntryCount(&bytes_, ++count_);
    return *this;
  }
  // A whole new-file entry.
  Script& NewFile(const std::string& path, const std::string& data) {
    Entry(0, Crc(data), path);
    vt::PutNewFileBody(&bytes_, Data(data), data.size());
    return *this;
  }
  // A whole update entry that turns `from` into `to`: the first half copied when both share it,
  // the rest inserted.
  Script& Update(const std::string& path, const std::string& from, const std::string& to) {
    Entry(Crc(from), Crc(to), path);
    size_t keep = std::min(from.size(), to.size()) / 2;
    if (from.compare(0, keep, to, 0, keep) != 0) keep = 0;
    if (keep) Copy(uint32_t(keep), 0);
    return Insert(to.substr(keep)).End();
  }
  // In a split body, a copy's and an add's offset is written less the new file's bytes before
  // them, as the format has it there.
  Script& Copy(uint32_t length, uint32_t offset) {
    vt::PutCopy(&bytes_, length, split_ ? offset - made_ : offset);
    made_ += length;
    return *this;
  }
  Script& Insert(const std::string& data) {
    if (!split_) {
      vt::PutInsert(&bytes_, Data(data), uint32_t(data.size()));
      return *this;
    }
    vt::PutInsertHead(&bytes_, uint32_t(data.size()));
    made_ += uint32_t(data.size());
    literals_ += data;
    return *this;
  }
  // An add of diff.size() bytes: the old file's bytes from `offset` plus those of `diff`.
  Script& Add(uint32_t offset, const std::string& diff) {
    if (!split_) {
      vt::PutAdd(&bytes_, uint32_t(diff.size()), offset, Data(diff));
      return *this;
    }
    vt::PutAddHead(&bytes_, uint32_t(diff.size()), offset - made_);
    made_ += uint32_t(diff.size());
    adds_ += diff;
    return *this;
  }
  // Starts a split body: until End, inserts and adds keep their bytes in the streams that
  // bytes() puts after the last entry, with the trailer.
  Script& Split() {
    vt::PutSplitBodyStart(&bytes_);
    split_ = streams_ = true;
    made_ = 0;
    return *this;
  }
  // Starts a body from another file, `source` as stored; an update's body follows.
  Script& From(const std::string& source) {
    vt::PutFromBodyStart(&bytes_, source);
    return *this;
  }
  Script& End() {
    vt::PutEnd(&bytes_);
    split_ = false;
    return *this;
  }

  Script& Le32(uint32_t v) {
    vt::PutLe32(&bytes_, v);
    return *this;
  }
  Script& Raw(const std::string& s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  Script& Op(uint8_t op) {
    bytes_.push_back(op);
    return *this;
  }

  // The entries, then, once a split body was written, the streams and their trailer.
  const Bytes& bytes() const {
    if (!streams_) return bytes_;
    whole_ = bytes_;
    whole_.insert(whole_.end(), adds_.begin(), adds_.end());
    whole_.insert(whole_.end(), literals_.begin(), literals_.end());
    vt::PutSplitTrailer(&whole_, uint32_t(adds_.size()), uint32_t(literals_.size()));
    return whole_;
  }
  uint32_t count() const { return count_; }

 private:
  static const uint8_t* Data(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
  }
  Bytes bytes_;
  mutable Bytes whole_;
  std::string adds_, literals_;
  bool split_ = false, streams_ = false;
  uint32_t made_ = 0;  // the split body's new bytes so far
  bool counting_ = false;
  uint32_t count_ = 0;
};

}  // namespace vtt

#endif  // VANTREL_TESTS_COMMON_SCRIPT_BUILDER_H
