// The installer's windows under Wine, driven and read as a user would.
// Covers the background, the wizard frame, the quit question, the About box, the splash and
// control texts from Language.ini.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/wine/driver.h"
#include "tests/wine/installer_test.h"
#include "tests/wine/test_installers.h"

namespace {

using vtt::Bytes;

const DWORD kTimeout = 20000;
const char kBackgroundClass[] = "VantrelBackground";
const char kQuitText[] =
    "Setup is not complete. If you quit now, the program will not be installed.\n\nYou may run "
    "this program again at a later time to complete the Setup.\n\nAre you sure to quit?";
const char kWelcomeTemplate[] =
    "Welcome to the %p Setup program. This program will install %p on your computer.";
const char kWelcomeAdvice[] =
    "It is strongly recommended that you exit all Windows programs before running this Setup "
    "program.\n\nClick Cancel to quit Setup and then close any programs you have running.  Click "
    "Next to continue with the Setup program.";

bool Enabled(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control && IsWindowEnabled(control) && IsWindowVisible(control);
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class WindowsTest : public vtt::InstallerTest {
 protected:


  // Packs the sample package with this Update.ini (and more files when given) and starts it.
  void Start(const std::string& updateIni, std::vector<vt::PayloadFile> files = {}) {
    if (files.empty()) files = vtt::SampleSetupFiles();
    vtt::SetFile(&files, "Update.ini", updateIni);
    std::string path = vtt::SaveInstaller("windows.exe", vtt::MakeInstaller(files, vtt::SamplePatch()));
    ASSERT_TRUE(vtd::Start(path, &program_));
  }

  // Waits for the wizard and its background window, and for the first page's buttons.
  void WaitForWindows() {
    sheet_ = vtd::WaitForWizard(program_.pid, kTimeout);
    ASSERT_TRUE(sheet_) << "no wizard appeared";
    background_ = GetWindow(sheet_, GW_OWNER);
    ASSERT_TRUE(background_);
    // The sheet starts with its own buttons; the first page's arrive by a posted message.
    ASSERT_TRUE(vtd::WaitUntil(
        [&] { return Enabled(sheet_, vtd::kNextButton) && !Enabled(sheet_, vtd::kBackButton); },
        kTimeout));
  }

  // Answers the quit question that the last action raised; returns the box's view.
  vtd::MessageBoxView AnswerQuit(int answer) {
    vtd::MessageBoxView view;
    HWND box = vtd::WaitForMessageBox(program_.pid, background_, kTimeout);
    EXPECT_TRUE(box) << "no quit question";
    if (!box) return view;
    vtd::ReadMessageBox(box, &view);
    EXPECT_TRUE(vtd::PressButton(box, answer));
    EXPECT_TRUE(vtd::WaitGone(box, kTimeout));
    return view;
  }

  void ExpectCleanEnd() {
    EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
    EXPECT_TRUE(NewWorkDirs().empty());
  }


  void Screenshot(const char* name) {
    EXPECT_TRUE(vtd::SaveScreenshot(vtt::ArtefactsDir() + "\\" + name));
  }

  // Clicks a wizard button and waits for the caption of the page it leads to.
  void Go(int button, const char* caption) {
    SCOPED_TRACE(caption);
    ASSERT_TRUE(vtd::WaitUntil([&] { return Enabled(sheet_, button); }, kTimeout));
    ASSERT_TRUE(vtd::PressButton(sheet_, button));
    EXPECT_TRUE(vtd::WaitUntil([&] { return vtd::WindowText(sheet_) == caption; }, kTimeout))
        << "caption is " << vtd::WindowText(sheet_);
  }

  HWND sheet_ = nullptr;
  HWND background_ = nullptr;
};

// The background fills the screen behind a wizard that is first seen already centred over it.
TEST_F(WindowsTest, MaximisedBackgroundWithCentredWizardAndPaintedTitle) {
  Start("[App]\r\nAppName=Sample App\r\nShowSplash=0\r\n[Author]\r\nCopyRight=(C) Test\r\n");
  HWND sheet = vtd::WaitForWizard(program_.pid, kTimeout);
  ASSERT_TRUE(sheet);
  RECT first = vtd::WindowRect(sheet);
  WaitForWindows();
  char className[64] = "";
  GetClassNameA(background_, className, sizeof className);
  EXPECT_STREQ(className, kBackgroundClass);
  EXPECT_TRUE(IsZoomed(background_));
  EXPECT_EQ(vtd::WindowText(background_), "Sample App Setup");

  RECT owner = vtd::WindowRect(background_);
  RECT desktop = vtd::WindowRect(GetDesktopWindow());
  int w = first.right - first.left, h = first.bottom - first.top;
  int left = owner.left + ((owner.right - owner.left - w) >> 1);
  int top = owner.top + ((owner.bottom - owner.top - h) >> 1);
  left = std::max(0, std::min(left, int(desktop.right) - w));
  top = std::max(0, std::min(top, int(desktop.bottom) - h));
  EXPECT_EQ(first.left, left);
  EXPECT_EQ(first.top, top);
  RECT now = vtd::WindowRect(sheet_);
  EXPECT_EQ(now.left, first.left);
  EXPECT_EQ(now.top, first.top);

  EXPECT_EQ(vtd::WindowText(sheet_), "Welcome");
  EXPECT_FALSE(Enabled(sheet_, vtd::kBackButton));
  EXPECT_TRUE(Enabled(sheet_, IDCANCEL));
  EXPECT_FALSE(Enabled(sheet_, vtd::kFinishButton));
  EXPECT_FALSE(GetDlgItem(sheet_, IDHELP) && IsWindowVisible(GetDlgItem(sheet_, IDHELP)));

  // The yellow credit line is painted last: once it shows, the whole background is painted.
  RECT client = vtd::ClientRectOnScreen(background_);
  RECT lines = {client.right - 250, client.bottom - 45, client.right, client.bottom};
  std::vector<DWORD> linePixels;
  EXPECT_TRUE(vtd::WaitUntil(
      [&] {
        linePixels = vtd::ScreenPixels(lines);
        return std::count(linePixels.begin(), linePixels.end(), 0xFFFF00u) > 10;
      },
      kTimeout));
  // The copyright line above it is white.
  EXPECT_GT(std::count(linePixels.begin(), linePixels.end(), 0xFFFFFFu), 10);

  // Left of the wizard: bright blue at the top, almost black at the bottom.
  int height = client.bottom - client.top;
  ASSERT_GT(height, 300);
  RECT strip = {client.left + 2, client.top + 60, client.left + 3, client.bottom};
  std::vector<DWORD> column = vtd::ScreenPixels(strip);
  ASSERT_FALSE(column.empty());
  EXPECT_GE(column.front() & 0xFF, 230u);
  EXPECT_EQ(column.front() & 0xFFFF00, 0u);
  EXPECT_LE(column.back() & 0xFF, 12u);
  EXPECT_EQ(column.back() & 0xFFFF00, 0u);
  // Blue falls from top to bottom.
  for (size_t i = 1; i < column.size(); ++i) ASSERT_LE(column[i] & 0xFF, column[i - 1] & 0xFF);

  // The title: white letters over a black shadow near the top left.
  RECT title = {client.left + 13, client.top + 13, client.left + 200, client.top + 55};
  std::vector<DWORD> titlePixels = vtd::ScreenPixels(title);
  size_t white = std::count(titlePixels.begin(), titlePixels.end(), 0xFFFFFFu);
  size_t black = std::count(titlePixels.begin(), titlePixels.end(), 0u);
  EXPECT_GT(white, 100u);
  EXPECT_GT(black, 50u);
  Screenshot("background_with_wizard.bmp");

  EXPECT_TRUE(vtd::CancelSetup(program_.pid, IDYES, kTimeout));
  ExpectCleanEnd();
}

TEST_F(WindowsTest, MinimisedBackgroundStillShowsWizardAndAsksBeforeQuitting) {
  Start("[App]\r\nAppName=Small\r\nShowBGW=0\r\nShowSplash=0\r\n");
  WaitForWindows();
  EXPECT_TRUE(IsIconic(background_));
  EXPECT_TRUE(IsWindowVisible(sheet_));
  EXPECT_EQ(vtd::WindowText(sheet_), "Welcome");
  ASSERT_TRUE(vtd::PressButton(sheet_, IDCANCEL));
  vtd::MessageBoxView view = AnswerQuit(IDYES);
  EXPECT_EQ(view.text, kQuitText);
  ExpectCleanEnd();
}

// Cancel, Esc and the close box on the first four pages all ask; No keeps page and buttons.
TEST_F(WindowsTest, QuitQuestionOnTheFirstFourPagesAndCaptionsFollowThePages) {
  Start("[App]\r\nAppName=Quit\r\nShowSplash=0\r\n");
  WaitForWindows();

  ASSERT_TRUE(vtd::PressButton(sheet_, IDCANCEL));
  vtd::MessageBoxView view = AnswerQuit(IDNO);
  EXPECT_EQ(view.text, kQuitText);
  EXPECT_EQ(view.caption, "Vantrel");
  EXPECT_EQ(view.icon, vtd::Icon::kQuestion);
  EXPECT_EQ(view.owner, background_);
  vtd::PostKey(vtd::CurrentPage(sheet_), VK_ESCAPE);
  AnswerQuit(IDNO);
  PostMessageA(sheet_, WM_SYSCOMMAND, SC_CLOSE, 0);
  AnswerQuit(IDNO);
  EXPECT_EQ(vtd::WindowText(sheet_), "Welcome");
  EXPECT_TRUE(Enabled(sheet_, vtd::kNextButton));
  EXPECT_FALSE(Enabled(sheet_, vtd::kBackButton));
  EXPECT_TRUE(IsWindowVisible(background_));

  Go(vtd::kNextButton, "Software Licence Agreement");
  HWND licence = vtd::CurrentPage(sheet_);
  EXPECT_EQ(vtd::ControlText(licence, 530),
            Text(vtt::ReadFileBytes(vtd::FromUnixPath(VT_SAMPLES_DIR "/License.txt"))));
  // The page's buttons arrive by a posted message, after the sheet's own: wait for both states.
  EXPECT_TRUE(vtd::WaitUntil(
      [&] { return Enabled(sheet_, vtd::kBackButton) && !Enabled(sheet_, vtd::kNextButton); },
      kTimeout));
  ASSERT_TRUE(vtd::PressButton(sheet_, IDCANCEL));
  AnswerQuit(IDNO);
  ASSERT_TRUE(vtd::PressButton(licence, 502));
  Go(vtd::kNextButton, "User Guide");
  ASSERT_TRUE(vtd::PressButton(sheet_, IDCANCEL));
  AnswerQuit(IDNO);
  EXPECT_EQ(vtd::WindowText(sheet_), "User Guide");
  Go(vtd::kNextButton, "Choose Destination Location");
  Go(vtd::kBackButton, "User Guide");
  Go(vtd::kBackButton, "Software Licence Agreement");
  Go(vtd::kBackButton, "Welcome");
  // Return presses the default button, Next, through the installer's message loop.
  vtd::PostKey(vtd::CurrentPage(sheet_), VK_RETURN);
  EXPECT_TRUE(vtd::WaitUntil(
      [&] { return vtd::WindowText(sheet_) == "Software Licence Agreement"; }, kTimeout));
  // The ticked box survived going back.
  EXPECT_TRUE(vtd::WaitUntil([&] { return Enabled(sheet_, vtd::kNextButton); }, kTimeout));
  Go(vtd::kNextButton, "User Guide");
  Go(vtd::kNextButton, "Choose Destination Location");

  vtd::PostKey(vtd::CurrentPage(sheet_), VK_ESCAPE);
  AnswerQuit(IDNO);
  EXPECT_EQ(vtd::WindowText(sheet_), "Choose Destination Location");
  EXPECT_TRUE(Enabled(sheet_, vtd::kBackButton));
  EXPECT_TRUE(Enabled(sheet_, vtd::kNextButton));
  PostMessageA(sheet_, WM_SYSCOMMAND, SC_CLOSE, 0);
  AnswerQuit(IDYES);
  ExpectCleanEnd();
}

// The question leaves the wizard enabled; asking again while it is up must not stack a second
// box whose answer would come after the windows are gone.
TEST_F(WindowsTest, CancelWhileTheQuestionIsUpAsksOnlyOnce) {
  Start("[App]\r\nAppName=Twice\r\nShowSplash=0\r\n");
  WaitForWindows();
  ASSERT_TRUE(vtd::PressButton(sheet_, IDCANCEL));
  HWND box = vtd::WaitForMessageBox(program_.pid, background_, kTimeout);
  ASSERT_TRUE(box);
  auto questions = [&] {
    int count = 0;
    for (HWND window : vtd::TopLevelWindows(program_.pid))
      if (GetWindow(window, GW_OWNER) == background_ && GetDlgItem(window, 0xFFFF)) ++count;
    return count;
  };
  PostMessageA(sheet_, WM_SYSCOMMAND, SC_CLOSE, 0);
  vtd::PostKey(vtd::CurrentPage(sheet_), VK_ESCAPE);
  Sleep(500);
  EXPECT_EQ(questions(), 1);
  ASSERT_TRUE(vtd::PressButton(box, IDYES));
  ExpectCleanEnd();
}

TEST_F(WindowsTest, AboutBoxFromTheSystemCommandClosesWithOkEscAndCloseBox) {
  Start("[App]\r\nAppName=About\r\nShowSplash=0\r\n");
  WaitForWindows();
  for (int way = 0; way < 3; ++way) {
    SCOPED_TRACE(way);
    if (way == 0) {
      // Through the system menu, as a user would: open it, Up to its last item, Return.
      PostMessageA(background_, WM_SYSCOMMAND, SC_KEYMENU, ' ');
      HWND menu = vtd::WaitForWindow(program_.pid, "#32768", kTimeout);
      ASSERT_TRUE(menu) << "no system menu";
      vtd::PostKey(menu, VK_UP);
      vtd::PostKey(menu, VK_RETURN);
    } else {
      PostMessageA(background_, WM_SYSCOMMAND, 330, 0);
    }
    HWND about = vtd::WaitForWindow(program_.pid, "#32770", kTimeout, "About Vantrel Installer");
    ASSERT_TRUE(about);
    EXPECT_EQ(GetWindow(about, GW_OWNER), background_);
    EXPECT_EQ(vtd::ControlText(about, 350), "Vantrel Installer");
    EXPECT_NE(vtd::ControlText(about, 353).find("Vantrel"), std::string::npos);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(about, 354)));
    if (way == 0) {
      Screenshot("about_box.bmp");
      EXPECT_TRUE(vtd::PressButton(about, IDOK));
    } else if (way == 1) {
      vtd::PostKey(GetDlgItem(about, IDOK), VK_ESCAPE);
    } else {
      PostMessageA(about, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    EXPECT_TRUE(vtd::WaitGone(about, kTimeout));
  }
  // Only the About box went; the wizard is still there.
  EXPECT_TRUE(IsWindowVisible(sheet_));
  EXPECT_TRUE(vtd::CancelSetup(program_.pid, IDYES, kTimeout));
  ExpectCleanEnd();
}

// The splash: the bitmap's size, centred, topmost, no taskbar button, up for about 1.5 s while
// block 2 unpacks.
TEST_F(WindowsTest, SplashShowsWhileBlockTwoUnpacks) {
  // The splash's time on screen lies between its last sighting minus its first and its end
  // minus the program's start: a slow test process only widens those bounds, never crosses them.
  const DWORD started = GetTickCount();
  Start("[App]\r\nAppName=Splash\r\nShowSplash=1\r\n");
  HWND splash = vtd::WaitForWindow(program_.pid, "Splash", kTimeout);
  ASSERT_TRUE(splash);
  const DWORD seen = GetTickCount();
  RECT rect = vtd::WindowRect(splash);
  EXPECT_EQ(rect.right - rect.left, 320);
  EXPECT_EQ(rect.bottom - rect.top, 160);
  RECT desktop = vtd::WindowRect(GetDesktopWindow());
  EXPECT_EQ(rect.left, desktop.left + ((desktop.right - desktop.left - 320) >> 1));
  EXPECT_EQ(rect.top, desktop.top + ((desktop.bottom - desktop.top - 160) >> 1));
  LONG exStyle = GetWindowLongA(splash, GWL_EXSTYLE);
  EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
  EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW);
  EXPECT_FALSE(exStyle & WS_EX_APPWINDOW);
  Screenshot("splash.bmp");
  DWORD lastSeen = seen, gone = seen;
  for (; gone - seen < kTimeout; Sleep(10)) {
    const DWORD now = GetTickCount();
    if (!IsWindow(splash)) {
      gone = now;
      break;
    }
    lastSeen = gone = now;
  }
  ASSERT_FALSE(IsWindow(splash));
  EXPECT_GE(gone - started, 1100u);
  EXPECT_LE(lastSeen - seen, 4000u);
  WaitForWindows();
  EXPECT_EQ(vtt::ReadFileBytes(WorkDirFile("Patch.dat")), vtt::SamplePatch());
  EXPECT_TRUE(vtd::CancelSetup(program_.pid, IDYES, kTimeout));
  ExpectCleanEnd();
}

TEST_F(WindowsTest, WithoutSplashOrItsBitmapTheWizardComesStraightAway) {
  // ShowSplash 0: no splash, block 2 stays packed.
  Start("[App]\r\nAppName=NoSplash\r\nShowSplash=0\r\n");
  WaitForWindows();
  for (HWND window : vtd::TopLevelWindows(program_.pid)) {
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    EXPECT_STRNE(className, "Splash");
  }
  EXPECT_EQ(GetFileAttributesA(WorkDirFile("Patch.dat").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(vtd::CancelSetup(program_.pid, IDYES, kTimeout));
  ExpectCleanEnd();

  // ShowSplash 1 without Splash.bmp: nothing to show, but block 2 is unpacked all the same.
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  vtt::RemoveFile(&files, "Splash.bmp");
  Start("[App]\r\nAppName=NoBitmap\r\nShowSplash=1\r\n", files);
  WaitForWindows();
  EXPECT_EQ(vtt::ReadFileBytes(WorkDirFile("Patch.dat")), vtt::SamplePatch());
  EXPECT_TRUE(vtd::CancelSetup(program_.pid, IDYES, kTimeout));
  ExpectCleanEnd();
}

// Language.ini replaces control texts by identifier, in the default GUI font, and "%p" in the
// welcome text becomes the AppName, however odd the name.
TEST_F(WindowsTest, LanguageIniLocalisesControlTextsAndInsertsAppName) {
  char section[8];
  snprintf(section, sizeof section, "$%04X", GetUserDefaultLangID());
  const std::string longName(259, 'N');
  struct Case {
    std::string appName, value, expected;
  } cases[] = {
      {"Lang App", "Hallo %p!\\nZweite Zeile", "Hallo Lang App!\nZweite Zeile"},
      {"", "Hallo %p!\\nZweite Zeile", "Hallo !\nZweite Zeile"},
      // A "%p" inside the name stays as it is.
      {"A%pB", "[%p] [%p]", "[A%pB] [A%pB]"},
      // The text stops growing before 511 characters; what did not fit stays.
      {longName, "%p|%p|%p", longName + "|%p|%p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.appName);
    std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
    vtt::SetFile(&files, "Language.ini",
                 std::string("[") + section + "]\r\nID355=" + c.value +
                     "\r\nID201=Really quit?\r\nID356=\r\nID300=Info\r\nID350=Vantrel Setup\r\n");
    Start("[App]\r\nAppName=" + c.appName + "\r\nShowSplash=0\r\n", files);
    WaitForWindows();
    HWND page = vtd::CurrentPage(sheet_);
    ASSERT_TRUE(page);
    EXPECT_EQ(vtd::ControlText(page, 355), c.expected);
    // An empty value and a string ID's key leave every other control as the template has it.
    EXPECT_EQ(vtd::ControlText(page, 356), kWelcomeAdvice);
    EXPECT_EQ(vtd::ControlText(page, 357), "");
    HFONT localised = vtd::ControlFont(GetDlgItem(page, 355));
    HFONT kept = vtd::ControlFont(GetDlgItem(page, 356));
    EXPECT_EQ(localised, HFONT(GetStockObject(DEFAULT_GUI_FONT)));
    EXPECT_NE(kept, localised);
    EXPECT_TRUE(kept);
    EXPECT_EQ(vtd::ControlFont(GetDlgItem(page, 357)), kept);
    if (&c == &cases[0]) {
      Screenshot("localised_welcome.bmp");
      // The About box takes its caption by string ID and its texts by control identifier.
      PostMessageA(background_, WM_SYSCOMMAND, 330, 0);
      HWND about = vtd::WaitForWindow(program_.pid, "#32770", kTimeout, "Info");
      ASSERT_TRUE(about);
      EXPECT_EQ(vtd::ControlText(about, 350), "Vantrel Setup");
      EXPECT_EQ(vtd::ControlText(about, 351), "Version 1.0");
      EXPECT_TRUE(vtd::PressButton(about, IDOK));
      EXPECT_TRUE(vtd::WaitGone(about, kTimeout));
    }
    ASSERT_TRUE(vtd::PressButton(sheet_, IDCANCEL));
    EXPECT_EQ(AnswerQuit(IDYES).text, "Really quit?");
    ExpectCleanEnd();
  }
}

TEST_F(WindowsTest, WithoutLanguageIniTheWelcomeTextOnlyGetsTheAppName) {
  Start("[App]\r\nAppName=Plain\r\nShowSplash=0\r\n");
  WaitForWindows();
  HWND page = vtd::CurrentPage(sheet_);
  std::string expected = kWelcomeTemplate;
  for (size_t at; (at = expected.find("%p")) != std::string::npos;) expected.replace(at, 2, "Plain");
  EXPECT_EQ(vtd::ControlText(page, 355), expected);
  EXPECT_EQ(vtd::ControlText(page, 356), kWelcomeAdvice);
  // Every control keeps the template's font.
  HFONT font = vtd::ControlFont(GetDlgItem(page, 355));
  EXPECT_TRUE(font);
  EXPECT_NE(font, HFONT(GetStockObject(DEFAULT_GUI_FONT)));
  EXPECT_EQ(vtd::ControlFont(GetDlgItem(page, 356)), font);
  EXPECT_TRUE(vtd::CancelSetup(program_.pid, IDYES, kTimeout));
  ExpectCleanEnd();
}

}  // namespace
