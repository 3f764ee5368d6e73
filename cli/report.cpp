// Printing the builder's results.
#include "cli/report.h"

#include <stdio.h>

#include "cli/command.h"
#include "format/file_format.h"

namespace vt {

void WarnAboutPacked(const PackedInstaller& packed) {
  for (const std::string& warning : packed.warnings) Warn(warning);
}

void PrintPacked(const std::string& outPath, const PackedInstaller& packed, size_t patchSize) {
  printf(
      "wrote %s: %zu bytes: stub %u, block 1 (%zu setup files) stored length %u, "
      "block 2 (%s, %zu bytes) stored length %u\n",
      Printable(outPath).c_str(), packed.image.size(), unsigned(packed.stubSize), packed.setupFiles,
      unsigned(packed.length1), kPatchRecordName, patchSize, unsigned(packed.length2));
}

int ReportVerify(const VerifyReport& report) {
  for (const std::string& problem : report.problems) Fail("verify: " + problem);
  if (!report.problems.empty())
    return Fail("verify failed: " + std::to_string(report.problems.size()) + " faults");
  // Entries from another file are named only when there are any.
  const std::string from =
      report.fromEntries ? ", " + std::to_string(report.fromEntries) + " from another file" : "";
  const std::string missing =
      report.originalMissing
          ? ", " + std::to_string(report.originalMissing) + " OriginalMissing (built from a file "
                "NEW lacks)"
          : "";
  printf("verified %zu entries (%zu update%s, %zu new file):\n", report.entries,
         report.updateEntries, from.c_str(), report.newFileEntries);
  printf("  on OLD: %zu Updated, %zu Installed; the result equals NEW\n", report.updated,
         report.installed);
  printf("  on NEW (already updated): %zu AlreadyUpdated, %zu Overwritten with equal bytes%s\n",
         report.alreadyUpdated, report.overwritten, missing.c_str());
  printf("  on a foreign version: %zu OriginalCrcError, those files untouched\n",
         report.originalCrcError);
  return kExitOk;
}

}  // namespace vt
