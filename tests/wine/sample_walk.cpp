// vantrel_walk: the main job's hands. Starts an installer under Wine, walks its wizard as a user
// would, saves a screenshot of every page it reaches, and reports what it saw and what was left.
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
  // Welcome, Licence, Guide, Destination: the pages a user reads before the run starts.
  HWND page = nullptr;
  for (int n = 1; n <= 4; n++) {
    HWND previous = page;
    if (!vtd::WaitUntil([&] { return (page = vtd::CurrentPage(sheet)) && page != previous; },
                        kTimeout))
      break;
    Sleep(300);  // let the page paint before the screenshot
    printf("page %d: \"%s\"\n", n, vtd::WindowText(sheet).c_str());
    PrintButtons(sheet);
    std::string shot = shots + "\\page-" + std::to_string(n) + ".bmp";
    vtd::SaveScreenshot(shot);
    if (n == 2) vtd::PressButton(page, 502);  // accept the licence
    if (n == 4) break;
    vtd::WaitUntil([&] { return vtd::PressButton(sheet, vtd::kNextButton); }, kTimeout);
  }
  // The run itself comes with the Processing dialog; until then the walk ends by cancelling.
  printf("cancelling the setup\n");
  bool cancelled = vtd::CancelSetup(program.pid, IDYES, kTimeout);
  long code = vtd::WaitExit(&program, kTimeout);
  bool workDirGone = vtd::TempDirs("VTA").size() <= workDirsBefore;
  printf("installer exit code: %ld\n", code);
  printf("work folder: %s\n", workDirGone ? "removed on exit" : "LEFT BEHIND");
  return cancelled && code == 0 && workDirGone ? 0 : 1;
}
