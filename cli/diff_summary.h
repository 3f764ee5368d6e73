// The lines `vantrel diff` and `vantrel build` print about a patch script.
#ifndef VANTREL_CLI_DIFF_SUMMARY_H
#define VANTREL_CLI_DIFF_SUMMARY_H

#include <string>

#include "builder/tree_diff.h"

namespace vt {

// Warnings on stderr: files only in OLD, changed files carried whole because of equal CRCs.
void WarnAboutDiff(const TreeDiff& diff);

// On stdout: entries by kind, bytes of new content, copied and inserted, and the script's size.
void PrintDiffSummary(const std::string& scriptName, const TreeDiff& diff);

}  // namespace vt

#endif  // VANTREL_CLI_DIFF_SUMMARY_H
