// Reading installer blocks back with the stub's rules and explaining each refusal.
#include "builder/payload_check.h"

#include <bzlib.h>
#include <stdlib.h>

#include <algorithm>
#include <new>

#include "builder/file_map.h"
#include "builder/quote.h"
#include "format/file_format.h"
#include "format/name_rules.h"
#include "format/payload_reader.h"

namespace vt {
namespace {

std::string Block(int n) { return "block " + std::to_string(n); }

// The sentence for a block that LocateBlock could not find.
std::string DescribeLocateFault(const PayloadFault& fault, size_t imageSize, uint32_t stubSize) {
  const std::string where = Block(fault.block);
  switch (fault.kind) {
    case kShorterThanStub:
      return "the file is " + std::to_string(imageSize) + " bytes, shorter than the " +
             std::to_string(stubSize) + "-byte stub, so it holds no payload";
    case kLengthCutOff:
      if (fault.block == 1 && fault.offset == imageSize)
        return "nothing follows the stub: the file holds no payload";
      return where + "'s length field at offset " + std::to_string(fault.offset) +
             " is cut off (" + std::to_string(imageSize - fault.offset) + " bytes left)";
    case kLengthTooSmall:
      return where + "'s length " + std::to_string(fault.value) +
             " is too small to hold its 4-byte size field";
    case kBlockPastEnd:
      return where + "'s length " + std::to_string(fault.value) + " (at offset " +
             std::to_string(fault.offset) + ") runs past the end of the file: only " +
             std::to_string(imageSize - fault.offset - 4) + " bytes follow the field";
    default:
      return where + " cannot be found";
  }
}

std::string DescribeSignatureFault(const BlockView& view, int n) {
  if (view.streamSize < sizeof kBlockSignature)
    return Block(n) + "'s stream is only " + std::to_string(view.streamSize) +
           " bytes, too short to start with \"BZh9\"";
  const std::string head(reinterpret_cast<const char*>(view.stream), 4);
  if (head.compare(0, 3, "BZh") == 0 && head[3] >= '1' && head[3] <= '8')
    return Block(n) + "'s stream starts " + QuoteStored(head) + ", not \"BZh9\": bzip2 block size " +
           head[3] + ", and the installer accepts only 9";
  return Block(n) + "'s stream starts " + QuoteStored(head) +
         ", not \"BZh9\": it is not a bzip2 stream of block size 9";
}

// A block's stream is given to the decoder this many bytes at a time; a mapped installer's
// pages are given back once read, so that reading a block never holds the file resident.
const size_t kStreamStep = size_t(4) << 20;

// The output grows by this many bytes at a time inside the space reserved for the stored size,
// so that only what the stream gives is ever touched: a stored size far above the stream's
// costs nothing.
const size_t kOutputStep = size_t(4) << 20;

// Feeds a block's stream to the decoder a step at a time.
class StreamInput {
 public:
  StreamInput(const BlockView& view, const uint8_t* image, FileMap* mapped)
      : view_(view), at_(uint64_t(view.stream - image)), mapped_(mapped) {}

  // Gives the next step once the decoder has taken the last, and the pages read before back.
  void Refill(bz_stream* strm) {
    if (strm->avail_in != 0 || fed_ == view_.streamSize) return;
    if (mapped_) mapped_->Release(at_ + released_, at_ + fed_);
    released_ = fed_;
    const size_t n = std::min<size_t>(kStreamStep, view_.streamSize - fed_);
    strm->next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(view_.stream + fed_));
    strm->avail_in = unsigned(n);
    fed_ += n;
  }

  bool Exhausted(const bz_stream& strm) const {
    return strm.avail_in == 0 && fed_ == view_.streamSize;
  }

 private:
  const BlockView& view_;
  const uint64_t at_;  // the stream's offset in the file
  FileMap* const mapped_;
  size_t fed_ = 0;
  size_t released_ = 0;
};

// A bzip2 decoder in normal mode (a few MB), ended when it goes.
struct Decoder {
  bz_stream strm = {};
  const bool ready = BZ2_bzDecompressInit(&strm, 0, 0) == BZ_OK;
  Decoder() = default;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() {
    if (ready) BZ2_bzDecompressEnd(&strm);
  }
};

// The library reports a full output space for a stream that really holds more, but also for
// one that is cut or corrupt after the stored size's worth of output. Decoding on into a sink
// tells them apart; the verdict (refused) stays the stub's.
std::string ExplainFullOutput(bz_stream* strm, StreamInput* input, const BlockView& view,
                              int n) {
  const uint64_t kLimit = uint64_t(view.rawSize) + (uint64_t(256) << 20);
  std::vector<char> sink(65536);
  uint64_t total = view.rawSize;
  int result;
  for (;;) {
    input->Refill(strm);
    strm->next_out = sink.data();
    strm->avail_out = unsigned(sink.size());
    result = BZ2_bzDecompress(strm);
    total += sink.size() - strm->avail_out;
    if (result != BZ_OK || total > kLimit) break;
    if (strm->avail_out != 0 && input->Exhausted(*strm)) break;
  }
  if (result == BZ_OK && strm->avail_out != 0 && input->Exhausted(*strm))
    return Block(n) + "'s bzip2 stream is truncated: it ends before its end marker";
  if (result != BZ_OK && result != BZ_STREAM_END)
    return Block(n) + "'s bzip2 stream is corrupt (bad data or CRC)";
  const std::string holds =
      (result == BZ_STREAM_END ? "" : "more than ") + std::to_string(total) + " bytes";
  return Block(n) + "'s stream holds " + holds + ", more than its stored size of " +
         std::to_string(view.rawSize);
}

// Decodes the stream as the stub's one BZ2_bzBuffToBuffDecompress call does, with the same
// verdicts: output space exactly the stored size, normal mode. The output goes straight into
// *raw, whose space is reserved once, so that a block needs its own size in memory and no
// more, however its stream is made; the input is read a step at a time.
bool Decompress(const BlockView& view, int n, const uint8_t* image, FileMap* mapped,
                std::vector<uint8_t>* raw, uint32_t* produced, std::string* error) {
  const size_t rawSize = view.rawSize;
  // The 32-bit installer could not allocate such a block in one piece; decompressing it here
  // would only cost the time and memory of a block no user can unpack.
  if (view.rawSize > MaxBlockRawSize(n)) {
    *error = Block(n) + "'s stored size " + std::to_string(rawSize) +
             " is too large: the 32-bit installer cannot count on allocating more than " +
             std::to_string(MaxBlockRawSize(n)) + " bytes";
    return false;
  }
  Decoder decoder;
  bz_stream& strm = decoder.strm;
  if (!decoder.ready) {
    *error = Block(n) + ": out of memory while decompressing";
    return false;
  }
  raw->reserve(rawSize);
  StreamInput input(view, image, mapped);
  size_t have = 0;
  char none = 0;  // the output space of an empty block
  int result;
  for (;;) {
    input.Refill(&strm);
    if (raw->size() == have && have < rawSize)
      raw->resize(std::min(rawSize, have + kOutputStep));
    strm.next_out = raw->empty() ? &none : reinterpret_cast<char*>(raw->data()) + have;
    strm.avail_out = unsigned(raw->size() - have);
    const unsigned inBefore = strm.avail_in, outBefore = strm.avail_out;
    result = BZ2_bzDecompress(&strm);
    have += outBefore - strm.avail_out;
    // No progress: the stream wants more output space or more input than there is.
    if (result != BZ_OK || (strm.avail_in == inBefore && strm.avail_out == outBefore)) break;
  }
  raw->resize(have);
  switch (result) {
    case BZ_STREAM_END:
      break;
    case BZ_OK:
      *error = strm.avail_out == 0
                   ? ExplainFullOutput(&strm, &input, view, n)
                   : Block(n) + "'s bzip2 stream is truncated: it ends before its end marker";
      return false;
    case BZ_DATA_ERROR:
    case BZ_DATA_ERROR_MAGIC:
      *error = Block(n) + "'s bzip2 stream is corrupt (bad data or CRC)";
      return false;
    case BZ_MEM_ERROR:
      *error = Block(n) + ": out of memory while decompressing";
      return false;
    default:
      *error = Block(n) + ": bzip2 decompression failed (code " + std::to_string(result) + ")";
      return false;
  }
  *produced = uint32_t(have);
  return true;
}

// The sentence for a record that WalkRecords refused.
std::string DescribeRecordFault(const PayloadFault& fault, const std::vector<uint8_t>& raw,
                                int n) {
  const std::string where = Block(n) + ", record " + std::to_string(fault.record) +
                            " (offset " + std::to_string(fault.offset) + ")";
  if (fault.kind == kRecordNameCutOff) return where + ": its name runs past the end of the data";
  const std::string name(reinterpret_cast<const char*>(raw.data() + fault.offset));
  const size_t left = raw.size() - fault.offset - name.size() - 1;
  switch (fault.kind) {
    case kRecordBadName:
      return where + ": name " + QuoteStored(name) + " is not a plain file name: " +
             WhyNotPlainFileName(name);
    case kRecordSizeCutOff:
      return where + " " + QuoteStored(name) + ": its size field runs past the end of the data";
    case kRecordDataPastEnd:
      return where + " " + QuoteStored(name) + ": its " + std::to_string(fault.value) +
             " data bytes run past the end of the data (" + std::to_string(left - 4) +
             " bytes left)";
    default:
      return Block(n) + "'s records are damaged";
  }
}

bool ReadBlock(const uint8_t* image, size_t imageSize, FileMap* mapped, int n,
               std::vector<uint8_t>* raw, std::string* error, BlockFacts* facts) {
  BlockView view;
  PayloadFault fault;
  const uint32_t stubSize = FindStubSize(image, imageSize);
  const bool found = LocateBlock(image, imageSize, stubSize, n, &view, &fault);
  if (!found && fault.kind != kBadSignature) {
    *error = DescribeLocateFault(fault, imageSize, stubSize);
    return false;
  }
  facts->located = true;
  facts->offset = size_t(view.stream - image) - kBlockHeaderSize;
  facts->length = view.streamSize + 4;
  facts->rawSize = view.rawSize;
  facts->signature.assign(reinterpret_cast<const char*>(view.stream),
                          std::min<size_t>(view.streamSize, sizeof kBlockSignature));
  if (!found) {
    *error = DescribeSignatureFault(view, n);
    return false;
  }
  if (!Decompress(view, n, image, mapped, raw, &facts->produced, error)) return false;
  facts->decompressed = true;
  if (!WalkRecords(raw->data(), raw->size(), nullptr, nullptr, &fault)) {
    *error = DescribeRecordFault(fault, *raw, n);
    return false;
  }
  return true;
}

}  // namespace

bool ReadInstallerBlock(const uint8_t* image, size_t imageSize, int n,
                        std::vector<uint8_t>* raw, std::string* error, BlockFacts* facts,
                        FileMap* mapped) {
  BlockFacts local;
  if (!facts) facts = &local;
  *facts = BlockFacts();
  // The space of the block read before is given back first, not held beside this one.
  std::vector<uint8_t>().swap(*raw);
  bool ok;
  try {
    ok = ReadBlock(image, imageSize, mapped, n, raw, error, facts);
  } catch (const std::bad_alloc&) {
    *error = Block(n) + ": out of memory";
    ok = false;
  }
  if (!ok) std::vector<uint8_t>().swap(*raw);
  return ok;
}

bool ReadInstallerBlock(const std::vector<uint8_t>& image, int n, std::vector<uint8_t>* raw,
                        std::string* error, BlockFacts* facts) {
  return ReadInstallerBlock(image.data(), image.size(), n, raw, error, facts);
}

std::string WhyNotPlainFileName(const std::string& name) {
  size_t at = 0;
  switch (CheckComponent(name.data(), name.size(), &at)) {
    case kNamePlain:
      return "";
    case kNameEmpty:
      return "the name is empty";
    case kNameRefusedChar: {
      const char c = name[at];
      if (c == '\\' || c == '/') return std::string("it has a folder part ('") + c + "')";
      if (c == ':') return "it has a colon (a drive or an alternate data stream)";
      if (static_cast<unsigned char>(c) < 32 || c == 127) return "it holds a control character";
      return std::string("it holds '") + c + "', which Windows refuses in file names";
    }
    case kNameHalfCharacter:
      return "it holds the first byte of a double-byte character without its second";
    case kNameTrailingDotOrBlank:
      if (name == "." || name == "..") return QuoteStored(name) + " names a folder";
      return std::string("it ends with ") + (name.back() == '.' ? "a dot" : "a blank") +
             ", which Windows drops";
    case kNameDevice:
      break;
  }
  return QuoteStored(name.substr(0, name.find('.'))) + " is a Windows device name";
}

}  // namespace vt
