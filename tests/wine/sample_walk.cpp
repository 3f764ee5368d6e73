// vantrel_walk: the main job's hands. Starts an installer under Wine, goes through its whole
// installation as a user would, saves a screenshot of every page, and reports what it saw.
#include <stdio.h>

#include <string>

#include "tests/wine/driver.h"

namespace {

const DWORD kTimeout = 20000;

void PrintButtons(HWND sheet) {
  static const struct { int id; const char* name; } kButtons[] = {
      {vtd::kBackButton, "Back"}, {vtd::kNextButton, "Next"},
      {vtd::kFinishButton, "Finish"}, {IDCANCEL, "Cancel"}};
  printf("   buttons:");
  for (const auto& b : kButtons) {
    HWND button = GetDlgItem(sheet, b.id);
    if (button && IsWindowVisible(button))
      printf(" %s%s", b.name, IsWindowEnabled(button) ? "" : "(disabled)");
  }
  printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: vantrel_walk INSTALLER SCREENSHOT_DIR\n");
    return 2;
  }
  std::string shots = argv[2];
  size_t workDirsBefore = vtd::TempDirs("VTA").size();
  vtd::Program program;
  if (!vtd::Start(argv[1], &program)) {
    fprintf(stderr, "vantrel_walk: cannot start %s\n", argv[1]);
    return 1;
  }
  HWND sheet = vtd::WaitForWizard(program.pid, kTimeout);
  if (!sheet) {
    fprintf(stderr, "vantrel_walk: no wizard appeared\n");
    vtd::Kill(&program);
    return 1;
  }
  printf("background: \"%s\"\n", vtd::WindowText(GetWindow(sheet, GW_OWNER)).c_str());
  // Every page in turn, as a user goes through them: Welcome, Licence, Guide, Destination; Next
  // there runs the update in the Processing dialog; then Results and Finish.
  HWND page = nullptr;
  bool finished = false;
  for (int n = 1; n <= 6; n++) {
    HWND previous = page;
    if (!vtd::WaitUntil([&] { return (page = vtd::CurrentPage(sheet)) && page != previous; },
                        n == 5 ? 10 * kTimeout : kTimeout)) {
      fprintf(stderr, "vantrel_walk: page %d did not come\n", n);
      break;
    }
    Sleep(300);  // let the page paint before the screenshot
    printf("page %d: \"%s\"\n", n, vtd::WindowText(sheet).c_str());
    PrintButtons(sheet);
    std::string shot = shots + "\\page-" + std::to_string(n) + ".bmp";
    vtd::SaveScreenshot(shot);
    if (n == 2) vtd::PressButton(page, 502);  // accept the licence
    if (n == 4) printf("   destination: %s\n", vtd::ControlText(page, 531).c_str());
    if (n == 5) printf("   result log shown:\n%s\n", vtd::ControlText(page, 533).c_str());
    if (n == 6) {
      // The sample has no program to launch: untick the launch box, then finish.
      if (IsDlgButtonChecked(page, 501) == BST_CHECKED) vtd::PressButton(page, 501);
      vtd::WaitUntil([&] { return IsDlgButtonChecked(page, 501) == BST_UNCHECKED; }, kTimeout);
      finished = vtd::WaitUntil([&] { return vtd::PressButton(sheet, vtd::kFinishButton); },
                                kTimeout);
      break;
    }
    vtd::WaitUntil([&] { return vtd::PressButton(sheet, vtd::kNextButton); }, kTimeout);
  }
  if (!finished) {
    printf("the installation did not reach its end: cancelling\n");
    vtd::CancelSetup(program.pid, IDYES, kTimeout);
  }
  long code = vtd::WaitExit(&program, kTimeout);
  bool workDirGone = vtd::TempDirs("VTA").size() <= workDirsBefore;
  printf("installer exit code: %ld\n", code);
  printf("work folder: %s\n", workDirGone ? "removed on exit" : "LEFT BEHIND");
  return finished && code == 0 && workDirGone ? 0 : 1;
}
