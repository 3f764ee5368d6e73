// What the commands print of the builder's results: the packed installer's line, the
// verification's outcome for each kind of user.
#ifndef VANTREL_CLI_REPORT_H
#define VANTREL_CLI_REPORT_H

#include <stddef.h>

#include <string>

#include "builder/installer_pack.h"
#include "builder/patch_verify.h"

namespace vt {

// Each of packed.warnings as a warning on stderr.
void WarnAboutPacked(const PackedInstaller& packed);

// The line `vantrel pack` prints for a written installer.
void PrintPacked(const std::string& outPath, const PackedInstaller& packed, size_t patchSize);

// Prints the report: on stdout what each user would see, or each fault on its own line on
// stderr. Returns the exit status: kExitOk when the script passed.
int ReportVerify(const VerifyReport& report);

}  // namespace vt

#endif  // VANTREL_CLI_REPORT_H
