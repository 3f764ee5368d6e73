// The Windows test driver: processes, windows, texts, buttons, icons and screenshots.
#include "tests/wine/driver.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vtd {

bool Start(const std::string& exe, Program* program, const std::string& args) {
  std::string line = "\"" + exe + "\"";
  if (!args.empty()) line += " " + args;
  return StartRaw(exe, line, program);
}

bool StartRaw(const std::string& exe, const std::string& commandLine, Program* program) {
  std::string line = commandLine;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info))
    return false;
  CloseHandle(info.hThread);
  program->process = info.hProcess;
  program->pid = info.dwProcessId;
  return true;
}

long WaitExit(Program* program, DWORD timeoutMs) {
  if (!program->process) return -1;
  if (WaitForSingleObject(program->process, timeoutMs) != WAIT_OBJECT_0) {
    Kill(program);
    return -1;
  }
  DWORD code = 0;
  GetExitCodeProcess(program->process, &code);
  CloseHandle(program->process);
  program->process = nullptr;
  return long(code);
}

void Kill(Program* program) {
  if (!program->process) return;
  TerminateProcess(program->process, 99);
  WaitForSingleObject(program->process, 5000);
  CloseHandle(program->process);
  program->process = nullptr;
}

namespace {

struct WindowSearch {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == search->pid && IsWindowVisible(window)) search->found.push_back(window);
  return TRUE;
}

std::string ClassName(HWND window) {
  char name[256] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

}  // namespace

std::vector<HWND> TopLevelWindows(DWORD pid) {
  WindowSearch search{pid, {}};
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForWindow(DWORD pid, const char* className, DWORD timeoutMs, const char* title) {
  HWND result = nullptr;
  WaitUntil(
      [&] {
        for (HWND window : TopLevelWindows(pid)) {
          if (ClassName(window) != className) continue;
          if (title && WindowText(window) != title) continue;
          result = window;
          return true;
        }
        return false;
      },
      timeoutMs);
  return result;
}

std::string WindowText(HWND window) {
  // WM_GETTEXT crosses processes; GetWindowText does not for some controls.
  char text[4096] = "";
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 2000, nullptr);
  return text;
}

std::string ControlText(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control ? WindowText(control) : std::string();
}

bool PressButton(HWND dialog, int id) {
  HWND button = GetDlgItem(dialog, id);
  if (!button || !IsWindowEnabled(button) || !IsWindowVisible(button)) return false;
  PostMessageA(button, BM_CLICK, 0, 0);
  return true;
}

namespace {

// A w x h 32-bit top-down bitmap selected into a memory DC that matches the screen.
class Canvas {
 public:
  Canvas(int w, int h) : w_(w), h_(h) {
    screen_ = GetDC(nullptr);
    memory_ = CreateCompatibleDC(screen_);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(memory_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<DWORD*>(bits);
    old_ = SelectObject(memory_, bitmap_);
  }
  ~Canvas() {
    SelectObject(memory_, old_);
    DeleteObject(bitmap_);
    DeleteDC(memory_);
    ReleaseDC(nullptr, screen_);
  }
  HDC screen() const { return screen_; }
  HDC memory() const { return memory_; }
  // What was drawn, as 0x00RRGGBB values row by row.
  std::vector<DWORD> Pixels() const {
    GdiFlush();
    std::vector<DWORD> pixels(bits_, bits_ + w_ * h_);
    for (DWORD& p : pixels) p &= 0xFFFFFF;
    return pixels;
  }

 private:
  int w_, h_;
  HDC screen_, memory_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
  DWORD* bits_;
};

// Pixels of a screen rectangle as 0x00RRGGBB values.
std::vector<DWORD> CaptureRect(const RECT& r) {
  int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return {};
  Canvas canvas(w, h);
  BitBlt(canvas.memory(), 0, 0, w, h, canvas.screen(), r.left, r.top, SRCCOPY);
  return canvas.Pixels();
}

// The icon drawn on `background`, as pixels of a w x h area.
std::vector<DWORD> RenderIcon(HICON icon, int w, int h, COLORREF background) {
  Canvas canvas(w, h);
  RECT all = {0, 0, w, h};
  HBRUSH brush = CreateSolidBrush(background);
  FillRect(canvas.memory(), &all, brush);
  DeleteObject(brush);
  DrawIconEx(canvas.memory(), 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL);
  return canvas.Pixels();
}

// Share of the icon's opaque pixels that the screen shows in the same colour.
double IconMatch(const std::vector<DWORD>& screen, HICON icon, int w, int h) {
  std::vector<DWORD> onBlack = RenderIcon(icon, w, h, RGB(0, 0, 0));
  std::vector<DWORD> onWhite = RenderIcon(icon, w, h, RGB(255, 255, 255));
  size_t opaque = 0, same = 0;
  for (size_t i = 0; i < screen.size(); ++i) {
    if (onBlack[i] != onWhite[i]) continue;
    ++opaque;
    if (onBlack[i] == screen[i]) ++same;
  }
  return opaque ? double(same) / double(opaque) : 0.0;
}

struct IconSearch {
  HWND icon = nullptr;
};

BOOL CALLBACK FindIconControl(HWND child, LPARAM param) {
  LONG style = GetWindowLongA(child, GWL_STYLE);
  if (ClassName(child) == "Static" && (style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child)) {
    reinterpret_cast<IconSearch*>(param)->icon = child;
    return FALSE;
  }
  return TRUE;
}

Icon RecogniseIcon(HWND box) {
  IconSearch search;
  EnumChildWindows(box, FindIconControl, reinterpret_cast<LPARAM>(&search));
  if (!search.icon) return Icon::kNone;
  struct Candidate {
    LPCSTR id;
    Icon icon;
  };
  const Candidate candidates[] = {{IDI_HAND, Icon::kStop},
                                  {IDI_EXCLAMATION, Icon::kWarning},
                                  {IDI_QUESTION, Icon::kQuestion},
                                  {IDI_ASTERISK, Icon::kInformation}};
  Icon best = Icon::kUnknown;
  // The box may not be painted yet when it first becomes visible.
  WaitUntil(
      [&] {
        RECT r;
        GetWindowRect(search.icon, &r);
        int w = GetSystemMetrics(SM_CXICON), h = GetSystemMetrics(SM_CYICON);
        r.right = r.left + w;
        r.bottom = r.top + h;
        std::vector<DWORD> screen = CaptureRect(r);
        if (screen.empty()) return false;
        for (const Candidate& c : candidates) {
          if (IconMatch(screen, LoadIconA(nullptr, c.id), w, h) > 0.95) {
            best = c.icon;
            return true;
          }
        }
        return false;
      },
      3000);
  return best;
}

}  // namespace

bool ReadMessageBox(HWND box, MessageBoxView* view) {
  if (!box) return false;
  // A message box's text is the static control 0xFFFF.
  view->text = ControlText(box, 0xFFFF);
  view->caption = WindowText(box);
  view->owner = GetWindow(box, GW_OWNER);
  view->icon = RecogniseIcon(box);
  return true;
}

std::string TempPath() {
  char path[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, path);
  return path;
}

std::vector<std::string> NewTempDirs(const std::vector<std::string>& before, const char* prefix) {
  std::vector<std::string> added;
  for (const std::string& name : TempDirs(prefix))
    if (std::find(before.begin(), before.end(), name) == before.end()) added.push_back(name);
  return added;
}

std::vector<std::string> TempDirs(const char* prefix) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((TempPath() + prefix + "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) names.push_back(found.cFileName);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return names;
}

std::string FromUnixPath(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

bool SaveScreenshot(const std::string& path) {
  RECT r = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  std::vector<DWORD> pixels = CaptureRect(r);
  int w = r.right, h = r.bottom;
  int stride = (w * 3 + 3) & ~3;
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + DWORD(stride) * DWORD(h);
  info.biSize = sizeof info;
  info.biWidth = w;
  info.biHeight = h;
  info.biPlanes = 1;
  info.biBitCount = 24;
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  std::fwrite(&file, sizeof file, 1, out);
  std::fwrite(&info, sizeof info, 1, out);
  std::vector<unsigned char> row(size_t(stride), 0);
  for (int y = h - 1; y >= 0; --y) {
    for (int x = 0; x < w; ++x) {
      DWORD p = pixels[size_t(y) * size_t(w) + size_t(x)];
      row[size_t(x) * 3] = BYTE(p);
      row[size_t(x) * 3 + 1] = BYTE(p >> 8);
      row[size_t(x) * 3 + 2] = BYTE(p >> 16);
    }
    std::fwrite(row.data(), row.size(), 1, out);
  }
  return std::fclose(out) == 0;
}

HFONT ControlFont(HWND control) {
  DWORD_PTR font = 0;
  SendMessageTimeoutA(control, WM_GETFONT, 0, 0, SMTO_ABORTIFHUNG, 2000, &font);
  // Wine answers WM_GETFONT from another process with null for static controls; their font
  // handle is kept in their first extra bytes, which any process can read.
  if (!font && ClassName(control) == "Static") font = DWORD_PTR(GetWindowLongPtrA(control, 0));
  return reinterpret_cast<HFONT>(font);
}

std::vector<DWORD> ScreenPixels(const RECT& rect) { return CaptureRect(rect); }

RECT WindowRect(HWND window) {
  RECT rect = {};
  GetWindowRect(window, &rect);
  return rect;
}

RECT ClientRectOnScreen(HWND window) {
  RECT rect = {};
  GetClientRect(window, &rect);
  MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

HWND WaitForWizard(DWORD pid, DWORD timeoutMs) {
  HWND result = nullptr;
  WaitUntil(
      [&] {
        for (HWND window : TopLevelWindows(pid))
          if (ClassName(window) == "#32770" && GetDlgItem(window, kNextButton)) {
            result = window;
            return true;
          }
        return false;
      },
      timeoutMs);
  return result;
}

HWND CurrentPage(HWND sheet) {
  DWORD_PTR page = 0;
  SendMessageTimeoutA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0, SMTO_ABORTIFHUNG, 2000, &page);
  return reinterpret_cast<HWND>(page);
}

HWND WaitForMessageBox(DWORD pid, HWND owner, DWORD timeoutMs) {
  HWND result = nullptr;
  WaitUntil(
      [&] {
        for (HWND window : TopLevelWindows(pid))
          if (ClassName(window) == "#32770" && GetWindow(window, GW_OWNER) == owner &&
              GetDlgItem(window, 0xFFFF) && !GetDlgItem(window, kNextButton)) {
            result = window;
            return true;
          }
        return false;
      },
      timeoutMs);
  return result;
}

bool WaitGone(HWND window, DWORD timeoutMs) {
  return WaitUntil([&] { return !IsWindow(window) || !IsWindowVisible(window); }, timeoutMs);
}

void PostKey(HWND window, WORD virtualKey) {
  PostMessageA(window, WM_KEYDOWN, virtualKey, 1);
  PostMessageA(window, WM_KEYUP, virtualKey, 0xC0000001);
}

bool CancelSetup(DWORD pid, int answer, DWORD timeoutMs) {
  HWND sheet = WaitForWizard(pid, timeoutMs);
  if (!sheet) return false;
  // The sheet enables its buttons once its first page has been activated.
  if (!WaitUntil([&] { return IsWindowEnabled(GetDlgItem(sheet, IDCANCEL)) != FALSE; },
                 timeoutMs) ||
      !PressButton(sheet, IDCANCEL))
    return false;
  HWND box = WaitForMessageBox(pid, GetWindow(sheet, GW_OWNER), timeoutMs);
  return box && PressButton(box, answer) && WaitGone(box, timeoutMs);
}

}  // namespace vtd
