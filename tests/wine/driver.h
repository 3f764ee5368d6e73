// The Windows test driver: starts installer processes and reads and works their windows from
// outside, as a user would, for the Windows-side tests.
#ifndef VANTREL_TESTS_WINE_DRIVER_H
#define VANTREL_TESTS_WINE_DRIVER_H

#include <windows.h>

#include <string>
#include <vector>

namespace vtd {

struct Program {
  HANDLE process = nullptr;
  DWORD pid = 0;
};

// Starts `exe` with the command line a shell open gives: its quoted full path, then `args`.
bool Start(const std::string& exe, Program* program, const std::string& args = "");

// Starts `exe` with exactly `commandLine` as its command line.
bool StartRaw(const std::string& exe, const std::string& commandLine, Program* program);

// Waits for the process to end and returns its exit code; on timeout kills it and returns -1.
long WaitExit(Program* program, DWORD timeoutMs);

// Ends the process when it still runs and closes its handle.
void Kill(Program* program);

// The first visible top-level window of the process with the class ("#32770" for dialogs and
// message boxes) and, when given, the title; waits up to `timeoutMs`. Null when none came.
HWND WaitForWindow(DWORD pid, const char* className, DWORD timeoutMs, const char* title = nullptr);

// Every visible top-level window of the process.
std::vector<HWND> TopLevelWindows(DWORD pid);

enum class Icon { kNone, kStop, kWarning, kQuestion, kInformation, kUnknown };

struct MessageBoxView {
  std::string text;
  std::string caption;
  Icon icon = Icon::kNone;
  HWND owner = nullptr;
};

// Reads a message box of another process: its text, caption, owner and which standard icon it
// shows (told apart by the icon's pixels on screen).
bool ReadMessageBox(HWND box, MessageBoxView* view);

// Clicks a button of a dialog, but only when it is enabled and visible. Returns whether it did.
bool PressButton(HWND dialog, int id);

// A control's text read across processes.
std::string ControlText(HWND dialog, int id);
std::string WindowText(HWND window);

// The system temp folder (with trailing backslash) and the names of its subfolders that start
// with `prefix`.
std::string TempPath();
std::vector<std::string> TempDirs(const char* prefix);
// Those of TempDirs(prefix) that are not in `before`.
std::vector<std::string> NewTempDirs(const std::vector<std::string>& before, const char* prefix);

// Unix path of the build or source tree seen from Windows (Wine's Z: drive).
std::string FromUnixPath(const std::string& unixPath);

// Saves the whole screen as a 24-bit BMP file.
bool SaveScreenshot(const std::string& path);

// Polls `condition` every 20 ms until it holds or `timeoutMs` passed.
template <typename F>
bool WaitUntil(F condition, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(20);
  }
}

// ---- The installer's windows ----

// Identifiers of the property sheet's own buttons.
const int kBackButton = 0x3023, kNextButton = 0x3024, kFinishButton = 0x3025;

// The first visible wizard sheet of the process (a "#32770" with a Next button); null when
// none came within `timeoutMs`.
HWND WaitForWizard(DWORD pid, DWORD timeoutMs);

// The page the sheet shows now (its children hold the page's controls).
HWND CurrentPage(HWND sheet);

// The first visible message box owned by `owner`; null when none came within `timeoutMs`.
HWND WaitForMessageBox(DWORD pid, HWND owner, DWORD timeoutMs);

// Waits until the window is gone or hidden.
bool WaitGone(HWND window, DWORD timeoutMs);

// Key presses as the window's thread sees them from its queue (they pass the installer's
// message loop, unlike a sent message).
void PostKey(HWND window, WORD virtualKey);

// Answers the quit question: presses Cancel on the wizard and `answer` (IDYES or IDNO) in the
// message box that follows. Returns false when a step could not be done.
bool CancelSetup(DWORD pid, int answer, DWORD timeoutMs);

// The font a control draws its text with; null when it uses the system font.
HFONT ControlFont(HWND control);

// Pixels of a screen rectangle as 0x00RRGGBB values, row by row.
std::vector<DWORD> ScreenPixels(const RECT& rect);

// The window's rectangle in screen coordinates.
RECT WindowRect(HWND window);
// The client area in screen coordinates.
RECT ClientRectOnScreen(HWND window);

}  // namespace vtd

#endif  // VANTREL_TESTS_WINE_DRIVER_H
