// Summary and warning lines about a patch script made from two folders.
#include "cli/diff_summary.h"

#include <stdio.h>

#include "cli/command.h"

namespace vt {

void WarnAboutDiff(const TreeDiff& diff) {
  const size_t kListed = 10;
  for (size_t i = 0; i < diff.onlyInOld.size() && i < kListed; ++i)
    Warn("only in OLD, stays on users' disks: " + Quote(diff.onlyInOld[i]));
  if (diff.onlyInOld.size() > kListed)
    Warn("and " + std::to_string(diff.onlyInOld.size() - kListed) + " more files only in OLD");
  for (const std::string& path : diff.crcTwins)
    Warn(Quote(path) + " changed but keeps its CRC-32; it is carried whole and overwrites any version");
}

void PrintDiffSummary(const std::string& scriptName, const TreeDiff& diff) {
  size_t updates = 0, froms = 0, newFiles = 0;
  uint64_t newBytes = 0, copied = 0, inserted = 0, added = 0, carried = 0;
  for (const DiffEntry& entry : diff.entries) {
    newBytes += entry.newSize;
    if (entry.update) {
      ++(entry.source.empty() ? updates : froms);
      copied += entry.delta.copiedBytes;
      inserted += entry.delta.insertedBytes;
      added += entry.delta.addedBytes;
    } else {
      ++newFiles;
      carried += entry.newSize;
    }
  }
  // Entries from another file are named only when there are any, as added bytes are below.
  const std::string fromText =
      froms ? ", " + std::to_string(froms) + " from another file" : std::string();
  printf("%s: %zu entries (%zu update%s, %zu new file), %zu unchanged, %zu only in OLD\n",
         scriptName.c_str(), diff.entries.size(), updates, fromText.c_str(), newFiles,
         diff.unchanged, diff.onlyInOld.size());
  // Added bytes are named only when there are any: an original-format script reads as before.
  const std::string addedText =
      added ? ", added " + std::to_string((unsigned long long)added) : std::string();
  printf("  new content %llu bytes: copied %llu%s, inserted %llu, new files %llu; script %llu "
         "bytes\n",
         (unsigned long long)newBytes, (unsigned long long)copied, addedText.c_str(),
         (unsigned long long)inserted, (unsigned long long)carried,
         (unsigned long long)diff.scriptSize);
}

}  // namespace vt
