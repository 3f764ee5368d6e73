// The fixture of the tests that start an installer as a process of their own: the WorkDirs
// that appeared since the test began, and the process ended with the test.
#ifndef VANTREL_TESTS_WINE_INSTALLER_TEST_H
#define VANTREL_TESTS_WINE_INSTALLER_TEST_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/wine/driver.h"

namespace vtt {

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override { before_ = vtd::TempDirs("VTA"); }
  void TearDown() override { vtd::Kill(&program_); }

  // WorkDirs that appeared since the test began.
  std::vector<std::string> NewWorkDirs() const { return vtd::NewTempDirs(before_, "VTA"); }

  // A file of the one new WorkDir; empty when there is not exactly one.
  std::string WorkDirFile(const char* name) const {
    std::vector<std::string> dirs = NewWorkDirs();
    return dirs.size() == 1 ? vtd::TempPath() + dirs[0] + "\\" + name : std::string();
  }

  std::vector<std::string> before_;
  vtd::Program program_;
};

}  // namespace vtt

#endif  // VANTREL_TESTS_WINE_INSTALLER_TEST_H
