// The setup wizard: sheet, page table, shared page protocol and window helpers.
#include "wizard/setup_wizard.h"

#include <commctrl.h>
#include <shlwapi.h>
#include <string.h>

#include "chrome/background_window.h"
#include "chrome/splash_window.h"
#include "resources/resource.h"
#include "text/local_string.h"
#include "text/localise.h"
#include "process/startup_state.h"
#include "process/system_library.h"
#include "wizard/processing_dialog.h"
#include "wizard/wizard_pages.h"

namespace {

// Template and title string share their number on every page.
const WORD kPageIds[kPageCount] = {IDD_WELCOME, IDD_LICENCE, IDD_GUIDE,
                                   IDD_DESTINATION, IDD_RESULTS, IDD_FINISH};
const BYTE kPageButtons[kPageCount] = {PSWIZB_NEXT, PSWIZB_BACK, PSWIZB_BACK | PSWIZB_NEXT,
                                       PSWIZB_BACK | PSWIZB_NEXT, PSWIZB_NEXT,
                                       PSWIZB_BACK | PSWIZB_FINISH};
const DWORD kSheetFlags = PSH_PROPSHEETPAGE | PSH_WIZARD | PSH_USECALLBACK | PSH_MODELESS |
                          PSH_WATERMARK | PSH_HEADER;

// The picture control of each page that has one, recorded when the page initialises.
HWND g_pictureControls[kPageCount];

// What a page shows once localised, in one control: a text file when the page has one (the
// Results page's from DestinationDir, the others' from the WorkDir), else the AppName put into
// the control's text.
const WORD kPageTextControls[kPageCount] = {IDC_WELCOME_TEXT, IDC_LICENCE_TEXT, IDC_GUIDE_TEXT,
                                            IDC_DESTINATION_TEXT, IDC_RESULTS_LOG,
                                            IDC_FINISH_TEXT};
const BYTE kPageTextFiles[kPageCount] = {0, IDS_LICENSE_FILE, IDS_GUIDE_FILE, 0, IDS_LOG_FILE, 0};
static_assert(IDS_LICENSE_FILE < 256 && IDS_GUIDE_FILE < 256 && IDS_LOG_FILE < 256, "a byte");

void PaintPicture(HWND picture) {
  InvalidateRect(picture, nullptr, TRUE);
  UpdateWindow(picture);
  HDC dc = GetDC(picture);
  DrawBitmapAt(dc, 0, 0, g_packageBitmap);
  ReleaseDC(picture, dc);
}

void OnNotify(HWND page, const NMHDR* header, int index) {
  if (index == kDestinationPage) OnDestinationNotify(page, header->code);
  // Apart from the switch: a fourth case there would make it a table of addresses.
  if (index == kFinishPage && header->code == UINT(PSN_WIZFINISH)) RunFinishSequence(page);
  switch (header->code) {
    case PSN_SETACTIVE:
      PostWizardButtons(page, PageButtons(page, index));
      if (index == kResultsPage) PostMessageA(GetParent(page), PSM_CANCELTOCLOSE, 0, 0);
      break;
    case PSN_RESET:
      // Cancel after the run: the installer ends, without the finish sequence. Quitting the
      // loop by a posted message lets the sheet finish its own cancel handling first.
      if (index == kResultsPage) PostQuitMessage(0);
      break;
    case PSN_QUERYCANCEL:
      if (index >= kResultsPage) break;
      // Posted, not sent: a confirmed close destroys this page and the sheet, which must
      // first finish answering this notification.
      PostMessageA(g_backgroundWindow, WM_CLOSE, 0, 0);
      SetWindowLongPtrA(page, DWLP_MSGRESULT, TRUE);
      break;
  }
}

void ShowPageText(HWND page, int index) {
  const int control = kPageTextControls[index];
  if (kPageTextFiles[index])
    LoadPageText(page, control, kPageTextFiles[index],
                 index == kResultsPage ? g_destinationDir : g_workDir);
  else
    InsertAppName(GetDlgItem(page, control));
}

}  // namespace

int PageButtons(HWND page, int index) {
  // Next on the Licence page only while the licence is accepted.
  if (index == kLicencePage && IsDlgButtonChecked(page, IDC_ACCEPT_LICENCE))
    return PSWIZB_BACK | PSWIZB_NEXT;
  return kPageButtons[index];
}

// A page's text file from `directory`, in the default GUI font.
void LoadPageText(HWND page, int control, UINT fileNameId, const char* directory) {
  char fileName[kPathChars];
  LoadStringA(nullptr, fileNameId, fileName, sizeof fileName);
  HWND edit = GetDlgItem(page, control);
  LoadTextFileToWindow(edit, fileName, directory);
  UseGuiFont(edit);
}

INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  // Each page's index comes with its creation (the page's lParam) and stays in its user slot;
  // messages before that see page 0 and none of them is handled here.
  const int index = message == WM_INITDIALOG
                        ? int(reinterpret_cast<const PROPSHEETPAGEA*>(lParam)->lParam)
                        : int(GetWindowLongPtrA(page, DWLP_USER));
  if (message == WM_INITDIALOG) SetWindowLongPtrA(page, DWLP_USER, index);
  HWND picture = g_pictureControls[index];
  switch (message) {
    case WM_INITDIALOG:
      LocaliseChildWindows(page);
      g_pictureControls[index] = GetDlgItem(page, IDC_PICTURE);
      ShowPageText(page, index);
      if (index == kDestinationPage) ShowDefaultDestination(page);
      if (index == kFinishPage) InitFinishPage(page);
      return TRUE;
    case WM_COMMAND:
      if (index != kLicencePage) return FALSE;
      OnLicenceCommand(page, wParam);
      return TRUE;
    case WM_SHOWWINDOW:
      if (wParam) SetLocalWindowText(g_wizardSheet, kPageIds[index]);
      return FALSE;
    case WM_PAINT:
      if (picture) PaintPicture(picture);
      return FALSE;
    case WM_NOTIFY:
      OnNotify(page, reinterpret_cast<const NMHDR*>(lParam), index);
      return TRUE;
  }
  return FALSE;
}

void PostWizardButtons(HWND page, int buttons) {
  PostMessageA(GetParent(page), PSM_SETWIZBUTTONS, 0, buttons);
}

int CALLBACK WizardSheetCallback(HWND window, UINT notification, LPARAM parameter) {
  if (notification == PSCB_PRECREATE) {
    // The extended template form starts with version 1 and 0xFFFF; its style is at byte 12.
    DWORD* style = reinterpret_cast<DWORD*>(parameter);
    if (reinterpret_cast<WORD*>(parameter)[1] == 0xFFFF) style += 3;
    *style &= ~DWORD(WS_VISIBLE);
  }
  if (notification == PSCB_PRECREATE || notification == PSCB_INITIALIZED) g_wizardSheet = window;
  return 0;
}

HWND CreateSetupWizard(HWND parent, int startPage) {
  typedef INT_PTR(WINAPI * PropertySheetFn)(LPCPROPSHEETHEADERA);
  const auto propertySheet =
      reinterpret_cast<PropertySheetFn>(SystemDllFunction(kCommonControlsDll, "PropertySheetA"));
  if (!propertySheet) return nullptr;
  // comctl32 walks the page array by each page's own size, so the array must be of the size
  // its dwSize states.
  PROPSHEETPAGEA_V2 pages[kPageCount] = {};
  for (int i = 0; i < kPageCount; ++i) {
    pages[i].dwSize = sizeof pages[i];
    pages[i].dwFlags = PSP_USEICONID;
    pages[i].hInstance = g_instance;
    pages[i].pszTemplate = MAKEINTRESOURCEA(kPageIds[i]);
    pages[i].pszIcon = MAKEINTRESOURCEA(IDI_INSTALLER);
    pages[i].pfnDlgProc = PageProc;
    pages[i].lParam = i;
  }
  PROPSHEETHEADERA header = {};
  header.dwSize = sizeof header;
  header.dwFlags = kSheetFlags;
  header.hwndParent = parent;
  header.hInstance = g_instance;
  header.nPages = kPageCount;
  header.nStartPage = UINT(startPage);
  header.ppsp = reinterpret_cast<PROPSHEETPAGEA*>(pages);
  header.pfnCallback = WizardSheetCallback;
  INT_PTR sheet = propertySheet(&header);
  // A modeless sheet that failed comes back as 0 or -1.
  return sheet == -1 ? nullptr : reinterpret_cast<HWND>(sheet);
}

void CenterOnOwner(HWND window) {
  RECT own, owner, desktop;
  GetWindowRect(window, &own);
  GetWindowRect(GetParent(window), &owner);
  GetWindowRect(GetDesktopWindow(), &desktop);
  const int w = own.right - own.left, h = own.bottom - own.top;
  // Arithmetic shifts: half of an odd negative difference is the next lower integer.
  int left = owner.left + ((owner.right - owner.left - w) >> 1);
  int top = owner.top + ((owner.bottom - owner.top - h) >> 1);
  if (top + h > desktop.bottom) top = desktop.bottom - h;
  if (left + w > desktop.right) left = desktop.right - w;
  if (left < 0) left = 0;
  if (top < 0) top = 0;
  MoveWindow(window, left, top, w, h, TRUE);
}

int LoadTextFileToWindow(HWND window, const char* file, const char* directory) {
  char path[kPathChars];
  strcpy(path, directory);
  // A joined path too long for the buffer comes back empty and opens nothing.
  PathAppendA(path, file);
  char* text = nullptr;
  HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    const DWORD size = GetFileSize(handle, nullptr);
    // Committed pages come zeroed, so the text ends in a zero; VirtualAlloc serves the
    // payload's window too, which spares the heap functions' imports.
    if (size != INVALID_FILE_SIZE)
      text = static_cast<char*>(
          VirtualAlloc(nullptr, size + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD read;
    if (text) ReadFile(handle, text, size, &read, nullptr);
    CloseHandle(handle);
  }
  SetWindowTextA(window, text ? text : "");
  if (text) VirtualFree(text, 0, MEM_RELEASE);
  return 1;
}
