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

}  // namespace vtd

#endif  // VANTREL_TESTS_WINE_DRIVER_H
