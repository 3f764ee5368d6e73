// `vantrel inspect`: lists an installer's blocks and files and checks them with the stub's rules.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>

#include "builder/code_page.h"
#include "builder/file_bytes.h"
#include "builder/file_map.h"
#include "builder/installer_pack.h"
#include "builder/patch_verify.h"
#include "builder/payload_check.h"
#include "builder/quote.h"
#include "builder/script_entries.h"
#include "cli/command.h"
#include "format/file_format.h"
#include "format/payload_reader.h"

namespace vt {
namespace {

const char kInspectHelp[] =
    "usage: vantrel inspect INSTALLER [--codepage N]\n"
    "\n"
    "Lists the installer's two blocks (offset, stored length, decompressed size, bzip2 block\n"
    "size) and the name and size of every file in them, after checking each block as the\n"
    "installer itself does. For a damaged installer it says on one line per block what is wrong\n"
    "and exits with status 1. A block 1 whose stored size is over 1 GiB counts as damaged:\n"
    "the 32-bit installer cannot count on allocating it. A Patch.dat that holds add operations,\n"
    "split bodies or bodies from another file is named, and counts as damaged when the stub\n"
    "does not run them; with --codepage an entry with a split body is marked (split), one built\n"
    "from another file (from PATH). INSTALLER must be a regular file.\n"
    "\n"
    "options:\n"
    "  --codepage N   also list the paths of Patch.dat's entries, shown in UTF-8 from the\n"
    "                 installer's ANSI code page N (as given to diff or build)\n";

const char* const kBlockRoles[] = {"", "setup files", "patch script"};

struct Listing {
  std::vector<std::string> names;
  std::vector<uint32_t> sizes;
};

bool CollectRecord(const FileRecord& record, void* context) {
  Listing* listing = static_cast<Listing*>(context);
  listing->names.push_back(record.name);
  listing->sizes.push_back(record.size);
  return true;
}

std::string DescribeStreamStart(const std::string& signature) {
  if (signature.size() == 4 && signature.compare(0, 3, "BZh") == 0 && signature[3] >= '1' &&
      signature[3] <= '9')
    return std::string("bzip2 block size ") + signature[3];
  return "stream starts " + QuoteStored(signature) + ", not bzip2";
}

void PrintBlock(int n, const BlockFacts& facts) {
  printf("block %d (%s) at offset %zu: stored length %u, decompressed size %u, %s\n", n,
         kBlockRoles[n], facts.offset, unsigned(facts.length), unsigned(facts.rawSize),
         DescribeStreamStart(facts.signature).c_str());
  if (facts.decompressed && facts.produced < facts.rawSize)
    printf("  note: the stream gives only %u of the %u bytes stored as its size\n",
           unsigned(facts.produced), unsigned(facts.rawSize));
}

void PrintRecords(const std::vector<uint8_t>& raw) {
  Listing listing;
  WalkRecords(raw.data(), raw.size(), CollectRecord, &listing);
  size_t width = 4;
  for (const std::string& name : listing.names) width = std::max(width, name.size());
  uint64_t total = 0;
  for (size_t i = 0; i < listing.names.size(); ++i) {
    printf("  %-*s %10u\n", int(width), Printable(listing.names[i]).c_str(),
           unsigned(listing.sizes[i]));
    total += listing.sizes[i];
  }
  printf("  %zu file%s, %llu bytes\n", listing.names.size(), listing.names.size() == 1 ? "" : "s",
         static_cast<unsigned long long>(total));
}

// The entry paths of the installer's Patch.dat, one line each, as far as the script reads.
void PrintEntries(const std::vector<uint8_t>& script) {
  ScriptListing listing;
  ListScriptEntries(script, &listing);
  if (!listing.countRead) return;
  printf("Patch.dat: %u entr%s\n", unsigned(listing.count), listing.count == 1 ? "y" : "ies");
  for (const ScriptEntry& entry : listing.entries) {
    const std::string kind =
        entry.from    ? "  (from " + Printable(ShownName(entry.source)) + ")"
        : entry.split ? "  (split)"
                      : "";
    printf("  %s%s\n", Printable(ShownName(entry.path)).c_str(), kind.c_str());
  }
  if (listing.entries.size() < listing.count)
    printf("  entry %u is damaged\n", unsigned(listing.entries.size() + 1));
}

// A script with add operations, split bodies or bodies from another file is named, and refused
// with a stub that does not run them (it would stop with a data error). An original-format
// script prints nothing here.
bool CheckAddOps(const uint8_t* image, size_t imageSize, const std::vector<uint8_t>& script,
                 const std::string& path) {
  std::string error;
  const bool split = ScriptHasSplitBodies(script);
  if (!split && !ScriptHasAddOps(script)) return true;
  const std::vector<uint8_t> stub(image, image + FindStubSize(image, imageSize));
  if (!CheckStubRunsScript(stub, script, &error)) {
    Fail(Quote(path) + ": " + error);
    return false;
  }
  printf(ScriptHasFromBodies(script) ? "Patch.dat has bodies from another file and split bodies, "
                                       "which the stub runs\n"
         : split ? "Patch.dat has split bodies, which the stub runs\n"
                 : "Patch.dat holds add operations, which the stub runs\n");
  return true;
}

int RunInspect(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {{"--codepage", nullptr}}, &parsed, &error))
    return FailUsage(kInspectCommand, error);
  unsigned codePage;
  if (!ParseCodePage(parsed.values["--codepage"], &codePage, &error))
    return FailUsage(kInspectCommand, error);
  if (parsed.operands.size() != 1)
    return FailUsage(kInspectCommand,
                     parsed.operands.empty() ? "missing INSTALLER" : "give exactly one INSTALLER");
  const std::string& path = parsed.operands[0];
  // Mapped, not read: only the length fields and the streams are looked at, each stream's pages
  // given back as it is decoded, so the memory taken is that of the block being unpacked.
  FileMap image;
  if (!CheckRegularFile(path, &error) || !image.Open(path, &error)) return Fail(error);
  if (image.size() > SIZE_MAX) return Fail(Quote(path) + ": too large for this system");
  const size_t imageSize = size_t(image.size());
  // The payload lies behind the product's stub or, in the 64-bit test tier, a larger one.
  const uint32_t stubSize = FindStubSize(image.data(), imageSize);
  printf("%s: %zu bytes, stub %u bytes%s\n", Printable(path).c_str(), imageSize,
         unsigned(stubSize), stubSize == kStubSize ? "" : " (the 64-bit test build's)");

  bool damaged = false;
  size_t end = 0;
  std::vector<uint8_t> raw;  // the last block read; block 2 once the loop is through
  for (int n = kSetupDataBlock; n <= kPatchDataBlock; ++n) {
    BlockFacts facts;
    const bool ok = ReadInstallerBlock(image.data(), imageSize, n, &raw, &error, &facts, &image);
    if (facts.located) {
      PrintBlock(n, facts);
      if (n == kPatchDataBlock) end = facts.offset + 4 + facts.length;
    }
    if (!ok) {
      Fail(Quote(path) + ": " + error);
      damaged = true;
      // Block 2 is found by block 1's length, so it is lost with it.
      if (!facts.located) break;
      continue;
    }
    PrintRecords(raw);
  }
  // Block 2 is unpacked once, above, and narrowed to its script in place; a block without its
  // script lists nothing more here.
  if (!damaged && NarrowToPatchDat(&raw, &error)) {
    if (codePage != 0) PrintEntries(raw);
    if (!CheckAddOps(image.data(), imageSize, raw, path)) damaged = true;
  }
  if (end && end < imageSize)
    printf("note: %zu bytes follow block 2; the installer ignores them\n", imageSize - end);
  return damaged ? kExitBadInput : kExitOk;
}

}  // namespace

const Command kInspectCommand = {"inspect", "list an installer's blocks and files and check them",
                                 kInspectHelp, RunInspect};

}  // namespace vt
