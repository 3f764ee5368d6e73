// The background window: its creation, painting, close confirmation, the About command.
#include "chrome/background_window.h"

#include <string.h>

#include "chrome/about_box.h"
#include "resources/resource.h"
#include "text/local_string.h"
#include "process/startup_state.h"

HWND g_backgroundWindow;
HWND g_wizardSheet;

namespace {

const char kBackgroundClass[] = "VantrelBackground";
const char kCreditLine[] = "Installer made with Vantrel";
const int kAboutMenuChars = 100;
const int kTitleX = 13, kTitleY = 13, kShadowOffset = 4;

unsigned g_clientWidth, g_clientHeight;
HFONT g_titleFont, g_smallFont;

void CreateFonts() {
  g_titleFont = CreateFontA(34, 0, 0, 0, FW_BOLD, TRUE, FALSE, FALSE, ANSI_CHARSET, 0, 0, 0,
                            VARIABLE_PITCH | FF_SWISS, "Times New Roman");
  g_smallFont = CreateFontA(14, 0, 0, 0, 0, FALSE, FALSE, FALSE, ANSI_CHARSET, 0, 0, 0,
                            VARIABLE_PITCH | FF_SWISS, "Tahoma");
}

// 255 horizontal bands from bright blue down to almost black; each band's pen is freed as soon
// as the next one replaces it.
void PaintGradient(HDC dc) {
  const unsigned penWidth = g_clientHeight / 255 + 1;
  HGDIOBJ original = nullptr;
  for (unsigned n = 255; n >= 1; --n) {
    const int y = int((255 - n) * g_clientHeight / 255);
    HGDIOBJ previous = SelectObject(dc, CreatePen(PS_SOLID, int(penWidth), RGB(0, 0, n)));
    if (n == 255)
      original = previous;
    else
      DeleteObject(previous);
    MoveToEx(dc, -1, y, nullptr);
    LineTo(dc, int(g_clientWidth), y);
  }
  DeleteObject(SelectObject(dc, original));
}

// Draws `text` with its right edge 10 units from the client's right and its bottom `bottom`
// units above the client's bottom.
void DrawBottomRight(HDC dc, const char* text, unsigned bottom) {
  const int length = int(strlen(text));
  SIZE extent;
  GetTextExtentPoint32A(dc, text, length, &extent);
  TextOutA(dc, int(g_clientWidth - unsigned(extent.cx) - 10),
           int(g_clientHeight - unsigned(extent.cy) - bottom), text, length);
}

void OnPaint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  PaintGradient(dc);
  SetBkMode(dc, TRANSPARENT);
  SelectObject(dc, g_titleFont);
  const int titleLength = int(strlen(g_appTitle));
  SetTextColor(dc, RGB(0, 0, 0));
  TextOutA(dc, kTitleX + kShadowOffset, kTitleY + kShadowOffset, g_appTitle, titleLength);
  SetTextColor(dc, RGB(255, 255, 255));
  TextOutA(dc, kTitleX, kTitleY, g_appTitle, titleLength);
  SelectObject(dc, g_smallFont);
  DrawBottomRight(dc, g_copyrightLine, 26);
  SetTextColor(dc, RGB(255, 255, 0));
  DrawBottomRight(dc, kCreditLine, 10);
  EndPaint(window, &paint);
}

// Runs the About box or, for a close request, the quit question; true when the user confirmed
// that setup should end. The window that the background window owns (the wizard) takes no
// input meanwhile: a box disables only its owner. Every other window it owns (a message box,
// the About box, the Processing dialog) is modal and keeps it disabled, and so never gets here.
bool RunModalBox(HWND window, bool about) {
  EnableWindow(g_wizardSheet, FALSE);
  int answer = 0;
  if (about)
    ShowAboutBox(window);
  else
    answer = LocalMessageBox(window, IDS_CONFIRM_QUIT, IDS_CAPTION, MB_ICONQUESTION | MB_YESNO);
  EnableWindow(g_wizardSheet, TRUE);
  return answer == IDYES;
}

LRESULT CALLBACK BackgroundWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_SIZE:
      g_clientWidth = LOWORD(lParam);
      g_clientHeight = HIWORD(lParam);
      return 0;
    case WM_PAINT:
      OnPaint(window);
      return 0;
    case WM_ERASEBKGND:
      return 0;
    case WM_SYSCOMMAND:
      if (LOWORD(wParam) != IDM_ABOUT) break;
      [[fallthrough]];
    case WM_CLOSE:
      // Disabled means a modal box of ours is up: the quit question itself, the About box, or
      // the Processing dialog with a patch run going on, which only its own Cancel may stop.
      // The close box, Alt+F4 and the taskbar all come here.
      // The style bit that IsWindowEnabled reads.
      if ((GetWindowLongA(window, GWL_STYLE) & WS_DISABLED) ||
          !RunModalBox(window, message == WM_SYSCOMMAND))
        return 0;
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

void AddAboutItem(HWND window) {
  char text[kAboutMenuChars];
  LoadLocalString(IDS_ABOUT_MENU, text, sizeof text);
  HMENU menu = GetSystemMenu(window, FALSE);
  AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(menu, MF_STRING, IDM_ABOUT, text);
}

}  // namespace

HWND CreateBackgroundWindow() {
  // Before the window, whose first paint uses them.
  CreateFonts();
  WNDCLASSA windowClass = {};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = BackgroundWindowProc;
  windowClass.hInstance = g_instance;
  windowClass.hIcon = LoadIconA(g_instance, MAKEINTRESOURCEA(IDI_INSTALLER));
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kBackgroundClass;
  RegisterClassA(&windowClass);
  g_backgroundWindow = CreateWindowExA(0, kBackgroundClass, g_appTitle,
                                       WS_OVERLAPPEDWINDOW | WS_MAXIMIZE, CW_USEDEFAULT,
                                       CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                                       CreateMenu(), g_instance, nullptr);
  AddAboutItem(g_backgroundWindow);
  return g_backgroundWindow;
}

void FailOverBackground(UINT textId) { FailWithMessage(g_backgroundWindow, textId); }
