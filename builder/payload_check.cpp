// Reading installer blocks back with the stub's rules and explaining each refusal.
#include "builder/payload_check.h"

#include <bzlib.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <new>

#include "builder/quote.h"
#include "format/file_format.h"
#include "format/name_rules.h"
#include "format/payload_reader.h"

namespace vt {
namespace {

std::string Block(int n) { return "block " + std::to_string(n); }

// The sentence for a block that LocateBlock could not find.
std::string DescribeLocateFault(const PayloadFault& fault, size_t imageSize) {
  const std::string where = Block(fault.block);
  switch (fault.kind) {
    case kShorterThanStub:
      return "the file is " + std::to_string(imageSize) + " bytes, shorter than the " +
             std::to_string(kStubSize) + "-byte stub, so it holds no payload";
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

// The library reports a full output buffer for a stream that really holds more, but also for
// one that is cut or corrupt after the stored size's worth of output. Decoding on into a sink
// tells them apart; the verdict (refused) stays the stub's.
std::string ExplainFullBuffer(const BlockView& view, int n) {
  const uint64_t kLimit = uint64_t(view.rawSize) + (uint64_t(256) << 20);
  bz_stream strm = {};
  if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK)
    return Block(n) + "'s stream holds more data than its stored size";
  strm.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(view.stream));
  strm.avail_in = view.streamSize;
  std::vector<char> sink(65536);
  uint64_t total = 0;
  int result;
  do {
    strm.next_out = sink.data();
    strm.avail_out = unsigned(sink.size());
    result = BZ2_bzDecompress(&strm);
    total += sink.size() - strm.avail_out;
  } while (result == BZ_OK && strm.avail_out == 0 && total <= kLimit);
  BZ2_bzDecompressEnd(&strm);
  if (result == BZ_OK && strm.avail_out != 0)
    return Block(n) + "'s bzip2 stream is truncated: it ends before its end marker";
  if (result != BZ_OK && result != BZ_STREAM_END)
    return Block(n) + "'s bzip2 stream is corrupt (bad data or CRC)";
  const std::string holds =
      (result == BZ_STREAM_END ? "" : "more than ") + std::to_string(total) + " bytes";
  return Block(n) + "'s stream holds " + holds + ", more than its stored size of " +
         std::to_string(view.rawSize);
}

// One BZ2_bzBuffToBuffDecompress call, as the stub makes it: output space exactly the stored
// size in a buffer one byte longer, normal mode, no diagnostics. calloc leaves a huge stored
// size untouched (and so cheap) until the stream really fills it.
bool Decompress(const BlockView& view, int n, std::vector<uint8_t>* raw, uint32_t* produced,
                std::string* error) {
  const size_t rawSize = view.rawSize;
  // The 32-bit installer could not allocate such a block in one piece; decompressing it here
  // would only cost the time and memory of a block no user can unpack.
  if (view.rawSize > kMaxBlockRawSize) {
    *error = Block(n) + "'s stored size " + std::to_string(rawSize) +
             " is too large: the 32-bit installer cannot count on allocating more than " +
             std::to_string(kMaxBlockRawSize) + " bytes";
    return false;
  }
  std::unique_ptr<char, void (*)(void*)> buffer(static_cast<char*>(calloc(rawSize + 1, 1)), free);
  if (!buffer) {
    *error =
        Block(n) + ": cannot allocate its stored size of " + std::to_string(rawSize) + " bytes";
    return false;
  }
  unsigned int outSize = view.rawSize;
  char* stream = reinterpret_cast<char*>(const_cast<uint8_t*>(view.stream));
  const int result =
      BZ2_bzBuffToBuffDecompress(buffer.get(), &outSize, stream, view.streamSize, 0, 0);
  switch (result) {
    case BZ_OK:
      break;
    case BZ_OUTBUFF_FULL:
      *error = ExplainFullBuffer(view, n);
      return false;
    case BZ_UNEXPECTED_EOF:
      *error = Block(n) + "'s bzip2 stream is truncated: it ends before its end marker";
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
  *produced = outSize;
  raw->assign(buffer.get(), buffer.get() + outSize);
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

bool ReadBlock(const std::vector<uint8_t>& image, int n, std::vector<uint8_t>* raw,
               std::string* error, BlockFacts* facts) {
  BlockView view;
  PayloadFault fault;
  const bool found = LocateBlock(image.data(), image.size(), n, &view, &fault);
  if (!found && fault.kind != kBadSignature) {
    *error = DescribeLocateFault(fault, image.size());
    return false;
  }
  facts->located = true;
  facts->offset = size_t(view.stream - image.data()) - kBlockHeaderSize;
  facts->length = view.streamSize + 4;
  facts->rawSize = view.rawSize;
  facts->signature.assign(reinterpret_cast<const char*>(view.stream),
                          std::min<size_t>(view.streamSize, sizeof kBlockSignature));
  if (!found) {
    *error = DescribeSignatureFault(view, n);
    return false;
  }
  if (!Decompress(view, n, raw, &facts->produced, error)) return false;
  facts->decompressed = true;
  if (!WalkRecords(raw->data(), raw->size(), nullptr, nullptr, &fault)) {
    *error = DescribeRecordFault(fault, *raw, n);
    return false;
  }
  return true;
}

}  // namespace

bool ReadInstallerBlock(const std::vector<uint8_t>& image, int n, std::vector<uint8_t>* raw,
                        std::string* error, BlockFacts* facts) {
  BlockFacts local;
  if (!facts) facts = &local;
  *facts = BlockFacts();
  raw->clear();
  bool ok;
  try {
    ok = ReadBlock(image, n, raw, error, facts);
  } catch (const std::bad_alloc&) {
    *error = Block(n) + ": out of memory";
    ok = false;
  }
  if (!ok) raw->clear();
  return ok;
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
