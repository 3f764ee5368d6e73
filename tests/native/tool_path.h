// The vantrel program that the command-line tests run: the one of this build, or the one that
// VANTREL_TEST_TOOL names (the Windows build runs these same tests under Wine through it).
#ifndef VANTREL_TESTS_NATIVE_TOOL_PATH_H
#define VANTREL_TESTS_NATIVE_TOOL_PATH_H

#include <stdlib.h>

#include <string>

namespace vtt {

inline std::string ToolPath() {
  const char* other = getenv("VANTREL_TEST_TOOL");
  return other && *other ? other : VANTREL_EXE;
}

inline bool TestingOtherTool() {
  const char* other = getenv("VANTREL_TEST_TOOL");
  return other && *other;
}

}  // namespace vtt

#endif  // VANTREL_TESTS_NATIVE_TOOL_PATH_H
