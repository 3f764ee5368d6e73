// Whole installations under Wine: the pages, the patch run in the processing dialog, the
// results and the finish sequence, each checked on disk and in the registry afterwards.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "builder/code_page.h"
#include "builder/setup_files.h"
#include "patch/crc32.h"
#include "tests/common/script_builder.h"
#include "tests/wine/driver.h"
#include "tests/wine/installer_test.h"
#include "tests/wine/test_installers.h"

namespace {

using vtt::Bytes;

const DWORD kTimeout = 30000;
const char kLanguageKey[] = "Software\\Orlenko\\Common\\Tools\\Vantrel\\Kestrum\\Directories";
const char kSamplesOld[] = VT_SAMPLES_DIR "/../old";
const char kSamplesNew[] = VT_SAMPLES_DIR "/../new";

// A PE32 or PE32+ image's headers, as far as moving it to another address needs them.
struct ImageHeaders {
  bool plus;
  uint8_t* optional;
  uint8_t* sections;
  int sectionCount;
};

ImageHeaders ReadHeaders(Bytes* image) {
  uint32_t pe;
  memcpy(&pe, image->data() + 0x3C, 4);
  uint16_t count, optionalSize;
  memcpy(&count, image->data() + pe + 6, 2);
  memcpy(&optionalSize, image->data() + pe + 20, 2);
  uint8_t* optional = image->data() + pe + 24;
  return {optional[0] == 0x0B && optional[1] == 0x02, optional, optional + optionalSize, count};
}

// The relocation directory's address and size.
void RelocationDirectory(const ImageHeaders& headers, uint32_t* rva, uint32_t* size) {
  const uint8_t* entry = headers.optional + (headers.plus ? 112 : 96) + 8 * 5;
  memcpy(rva, entry, 4);
  memcpy(size, entry + 4, 4);
}

// The loader may move the image: DYNAMIC_BASE, and relocations not stripped. x86-64 code may
// need none, reaching everything relative to itself.
bool Movable(Bytes image) {
  const ImageHeaders headers = ReadHeaders(&image);
  uint16_t fileFlags, dllFlags;
  memcpy(&fileFlags, headers.optional - 2, 2);
  memcpy(&dllFlags, headers.optional + 70, 2);
  return (dllFlags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE) &&
         !(fileFlags & IMAGE_FILE_RELOCS_STRIPPED);
}

uint8_t* AtAddress(Bytes* image, const ImageHeaders& headers, uint32_t rva) {
  for (int i = 0; i < headers.sectionCount; ++i) {
    uint32_t field[4];  // VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData
    memcpy(field, headers.sections + 40 * i + 8, sizeof field);
    if (rva >= field[1] && rva < field[1] + field[2])
      return image->data() + field[3] + (rva - field[1]);
  }
  return nullptr;
}

// Moves the image to `base` (its ImageBase) as a rebasing tool or the loader does: each address
// that a relocation names moves by as much. An address the relocations missed, or a malformed
// block, leaves the copy pointing at its old address, where nothing is.
void Rebase(Bytes* image, uint64_t base) {
  const ImageHeaders headers = ReadHeaders(image);
  uint64_t old = 0;
  memcpy(&old, headers.optional + (headers.plus ? 24 : 28), headers.plus ? 8 : 4);
  const uint64_t delta = base - old;
  memcpy(headers.optional + (headers.plus ? 24 : 28), &base, headers.plus ? 8 : 4);
  uint32_t rva, size;
  RelocationDirectory(headers, &rva, &size);
  const uint8_t* block = AtAddress(image, headers, rva);
  for (const uint8_t* end = block + size; block < end;) {
    uint32_t page, blockSize;
    memcpy(&page, block, 4);
    memcpy(&blockSize, block + 4, 4);
    for (uint32_t at = 8; at < blockSize; at += 2) {
      uint16_t entry;
      memcpy(&entry, block + at, 2);
      if (entry >> 12 == 0) continue;
      uint8_t* fixup = AtAddress(image, headers, page + (entry & 0xFFF));
      uint64_t value = 0;
      memcpy(&value, fixup, headers.plus ? 8 : 4);
      value += delta;
      memcpy(fixup, &value, headers.plus ? 8 : 4);
    }
    block += blockSize;
  }
}

// Where the process's program was loaded; 0 when that cannot be read.
uintptr_t ProgramBase(DWORD pid) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  MODULEENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  const uintptr_t base = Module32First(snapshot, &entry) ? uintptr_t(entry.modBaseAddr) : 0;
  CloseHandle(snapshot);
  return base;
}

bool Enabled(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control && IsWindowEnabled(control) && IsWindowVisible(control);
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ProgramFilesDir() {
  char value[MAX_PATH] = "";
  DWORD size = sizeof value;
  RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
               "ProgramFilesDir", RRF_RT_REG_SZ, nullptr, value, &size);
  return value;
}

std::string LanguageDirRecord() {
  char value[MAX_PATH] = "";
  DWORD size = sizeof value;
  if (RegGetValueA(HKEY_CURRENT_USER, kLanguageKey, "LanguageDir", RRF_RT_REG_SZ, nullptr, value,
                   &size) != ERROR_SUCCESS)
    return "<none>";
  return value;
}

// By wide names, so that a folder that a run under another ANSI code page left goes too.
void RemoveTreeW(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = dir + L"\\" + name;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTreeW(path);
      else DeleteFileW(path.c_str());
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(dir.c_str());
}

void RemoveTree(const std::string& dir) {
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, dir.c_str(), -1, wide, MAX_PATH)) RemoveTreeW(wide);
}

// The directory's file names, sorted, sub-directories marked with a trailing backslash.
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = entry.cFileName;
    if (name == "." || name == "..") continue;
    names.push_back(name + ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "\\" : ""));
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

void PutU32(Bytes* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(uint8_t(value >> (8 * i)));
}

// A script of `count` new files <prefix>N.txt of `size` bytes each.
Bytes NewFilesScript(int count, size_t size, const std::string& prefix = "\\file") {
  vt::BuildCrcTable();
  Bytes script;
  PutU32(&script, uint32_t(count));
  for (int i = 0; i < count; ++i) {
    Bytes data(size, uint8_t('a' + i % 26));
    PutU32(&script, 0);
    PutU32(&script, vt::CrcBytes(data.data(), data.size()));
    std::string path = prefix + std::to_string(i) + ".txt";
    script.insert(script.end(), path.begin(), path.end());
    script.push_back(0);
    script.push_back(3);
    PutU32(&script, uint32_t(data.size()));
    script.insert(script.end(), data.begin(), data.end());
  }
  return script;
}

class InstallationTest : public vtt::InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    destination_ = ProgramFilesDir() + "\\Orlenko\\Common\\Tools\\Vantrel";
    RemoveTree(destination_);
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kLanguageKey, "LanguageDir");
    // The old version: the sample package's old files.
    for (size_t at = destination_.find('\\', 3); ; at = destination_.find('\\', at + 1)) {
      CreateDirectoryA(destination_.substr(0, at).c_str(), nullptr);
      if (at == std::string::npos) break;
    }
    oldA_ = vtt::ReadFileBytes(vtd::FromUnixPath(std::string(kSamplesOld) + "/a.txt"));
    ASSERT_TRUE(vtt::WriteFileBytes(destination_ + "\\a.txt", oldA_));
  }
  void TearDown() override {
    InstallerTest::TearDown();
    RemoveTree(destination_);
  }



  void InstallWhole();

  void Start(const std::string& extraIni, const Bytes& patch) {
    std::vector<vt::PayloadFile> files = files_;
    std::string ini = Text(vtt::ReadFileBytes(vtd::FromUnixPath(VT_SAMPLES_DIR "/Update.ini")));
    // Later keys of the same section win nowhere: the extra sections come first.
    vtt::SetFile(&files, "Update.ini", extraIni + ini);
    Bytes installer = vtt::MakeInstaller(files, patch);
    if (movedTo_) Rebase(&installer, movedTo_);
    std::string path = vtt::SaveInstaller("installation.exe", installer);
    ASSERT_TRUE(vtd::Start(path, &program_));
    sheet_ = vtd::WaitForWizard(program_.pid, kTimeout);
    ASSERT_TRUE(sheet_) << "no wizard appeared";
    background_ = GetWindow(sheet_, GW_OWNER);
    if (movedTo_) ASSERT_EQ(ProgramBase(program_.pid), movedTo_) << "not where it was moved";
  }

  // Presses a sheet button as soon as it is enabled: the pages enable theirs by posted messages,
  // so a page's caption can show before its buttons are right.
  void Press(int button) {
    ASSERT_TRUE(vtd::WaitUntil([&] { return vtd::PressButton(sheet_, button); }, kTimeout))
        << "button " << button << " not enabled on " << vtd::WindowText(sheet_);
  }

  void Go(int button, const char* caption) {
    SCOPED_TRACE(caption);
    ASSERT_TRUE(vtd::WaitUntil([&] { return Enabled(sheet_, button); }, kTimeout))
        << "button " << button << " not enabled on " << vtd::WindowText(sheet_);
    ASSERT_TRUE(vtd::PressButton(sheet_, button));
    ASSERT_TRUE(vtd::WaitUntil([&] { return vtd::WindowText(sheet_) == caption; }, kTimeout))
        << "caption is " << vtd::WindowText(sheet_);
  }

  // Through Welcome, Licence (ticked) and Guide to the Destination page.
  void GoToDestination() {
    // The Welcome page never enables Back; its buttons arrive by a posted message.
    ASSERT_TRUE(vtd::WaitUntil(
        [&] { return Enabled(sheet_, vtd::kNextButton) && !Enabled(sheet_, vtd::kBackButton); },
        kTimeout));
    Sleep(200);
    EXPECT_FALSE(Enabled(sheet_, vtd::kBackButton));
    Go(vtd::kNextButton, "Software Licence Agreement");
    // Only Back until the licence is accepted.
    ASSERT_TRUE(vtd::WaitUntil(
        [&] { return Enabled(sheet_, vtd::kBackButton) && !Enabled(sheet_, vtd::kNextButton); },
        kTimeout));
    ASSERT_TRUE(vtd::PressButton(vtd::CurrentPage(sheet_), 502));
    Go(vtd::kNextButton, "User Guide");
    Go(vtd::kNextButton, "Choose Destination Location");
  }

  HWND ProcessingDialog() const {
    for (HWND window : vtd::TopLevelWindows(program_.pid))
      if (GetDlgItem(window, 550)) return window;
    return nullptr;
  }

  // The Processing dialog once its progress bar has passed `position`; null if it never did.
  HWND WaitForProgressPast(LRESULT position) {
    HWND dialog = nullptr;
    if (!vtd::WaitUntil([&] { return (dialog = ProcessingDialog()) != nullptr; }, kTimeout))
      return nullptr;
    HWND progress = GetDlgItem(dialog, 550);
    const bool passed = vtd::WaitUntil(
        [&] { return SendMessageA(progress, 0x408 /* PBM_GETPOS */, 0, 0) > position; }, kTimeout);
    return passed ? dialog : nullptr;
  }

  // Next on the Destination page with a run that fails: the message, its owner, the hidden
  // wizard, and the clean end.
  void ExpectFailedRun(const char* message) {
    Press(vtd::kNextButton);
    HWND box = vtd::WaitForMessageBox(program_.pid, background_, kTimeout);
    ASSERT_TRUE(box) << "no message";
    vtd::MessageBoxView view;
    ASSERT_TRUE(vtd::ReadMessageBox(box, &view));
    EXPECT_EQ(view.text, message);
    EXPECT_EQ(view.caption, "Vantrel");
    EXPECT_EQ(view.icon, vtd::Icon::kStop);
    EXPECT_FALSE(IsWindowVisible(sheet_));
    EXPECT_TRUE(IsWindowVisible(background_));
    EXPECT_FALSE(ProcessingDialog());
    ASSERT_TRUE(vtd::PressButton(box, IDOK));
    EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
    EXPECT_TRUE(NewWorkDirs().empty());
  }

  // The old file restored byte for byte, no BackupDir (nor any directory) left, no record.
  // Files that the run added stay: a rollback puts back what it replaced.
  void ExpectOldVersionRestored() {
    for (const std::string& name : Listing(destination_))
      EXPECT_NE(name.back(), '\\') << name;
    EXPECT_EQ(vtt::ReadFileBytes(destination_ + "\\a.txt"), oldA_);
    EXPECT_EQ(LanguageDirRecord(), "<none>");
  }

  // The main file `path` (below the destination), held open by this process, fails the run
  // with message 207 and the old version comes back.
  void ExpectHeldMainFileRollsBack(const std::string& path) {
    HANDLE held = CreateFileA((destination_ + path).c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ExpectFailedRun(
        "Main file updating failed, operation canceled!\n\nIf the file is running, please quit "
        "now and try again later.");
    CloseHandle(held);
    ExpectOldVersionRestored();
  }

  // The run completed in full: \fileN.txt for each of the script's `count` files, with its
  // content, beside the old a.txt and the log with one line per file; no BackupDir, no
  // temporary file.
  void ExpectWhollyNew(int count) {
    std::vector<std::string> expected = {"Vantrel.log", "a.txt"};
    for (int i = 0; i < count; ++i) {
      std::string name = "file" + std::to_string(i) + ".txt";
      expected.push_back(name);
      Bytes data = vtt::ReadFileBytes(destination_ + "\\" + name);
      ASSERT_EQ(data, Bytes(2000, uint8_t('a' + i % 26))) << name;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Listing(destination_), expected);
    std::string log = Text(vtt::ReadFileBytes(destination_ + "\\Vantrel.log"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), count);
  }

  // Waits for the wizard to come back on the Results page after a run.
  void ExpectResultsPage() {
    std::string windows;
    if (vtd::WaitUntil(
            [&] { return IsWindowVisible(sheet_) && vtd::WindowText(sheet_) == "Information"; },
            180000))
      return;
    for (HWND window : vtd::TopLevelWindows(program_.pid))
      windows += " [" + vtd::WindowText(window) + "|" + vtd::ControlText(window, 0xFFFF) + "]";
    FAIL() << "no Results page; windows:" << windows;
  }

  // The end from the Results page: its close box ends the installer.
  void CloseOnResultsPage() {
    PostMessageA(sheet_, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
    EXPECT_TRUE(NewWorkDirs().empty());
  }

  std::vector<vt::PayloadFile> files_ = vtt::SampleSetupFiles();
  std::string destination_;
  Bytes oldA_;
  HWND sheet_ = nullptr;
  HWND background_ = nullptr;
  // With an address, the installer is a copy moved there by its relocations.
  uintptr_t movedTo_ = 0;
};

const char kDataError[] =
    "Data integrity (CRC) error in data!\nIf you downloaded this file, try to download it again.";

// The installation of the sample package from Welcome to Finish, each page and the disk checked.
void InstallationTest::InstallWhole() {
  ASSERT_NO_FATAL_FAILURE(Start("[ShellExec]\r\nCommand=\r\n", vtt::SamplePatch()));
  GoToDestination();
  HWND page = vtd::CurrentPage(sheet_);
  EXPECT_EQ(vtd::ControlText(page, 531), destination_);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page, 451)));
  EXPECT_TRUE(GetWindowLongA(GetDlgItem(page, 531), GWL_STYLE) & ES_READONLY);
  EXPECT_TRUE(vtd::WaitUntil(
      [&] { return Enabled(sheet_, vtd::kBackButton) && Enabled(sheet_, vtd::kNextButton); },
      kTimeout));

  Go(vtd::kNextButton, "Information");
  HWND results = vtd::CurrentPage(sheet_);
  EXPECT_TRUE(IsWindowVisible(sheet_));
  // The ResultLog as written, shown unchanged.
  std::string log = Text(vtt::ReadFileBytes(destination_ + "\\Vantrel.log"));
  EXPECT_NE(log.find("a.txt -> "), std::string::npos) << log;
  EXPECT_EQ(vtd::ControlText(results, 533), log);
  // The page's buttons arrive by a posted message, after the sheet's own: wait for both states.
  EXPECT_TRUE(vtd::WaitUntil(
      [&] { return Enabled(sheet_, vtd::kNextButton) && !Enabled(sheet_, vtd::kBackButton); },
      kTimeout));
  // The destination went into the working Update.ini.
  char stored[MAX_PATH] = "";
  GetPrivateProfileStringA("Path", "SoftWarePath", "", stored, sizeof stored,
                           WorkDirFile("Update.ini").c_str());
  EXPECT_EQ(stored, destination_);

  // Files rebuilt, no backups left, the record written.
  for (const char* name : {"a.txt", "notes.txt"})
    EXPECT_EQ(vtt::ReadFileBytes(destination_ + "\\" + name),
              vtt::ReadFileBytes(vtd::FromUnixPath(std::string(kSamplesNew) + "/" + name)))
        << name;
  EXPECT_EQ(Listing(destination_), (std::vector<std::string>{"Vantrel.log", "a.txt", "notes.txt"}));
  EXPECT_EQ(LanguageDirRecord(),
            ProgramFilesDir() + "\\Orlenko\\Common\\Tools\\Vantrel\\Languages");

  Go(vtd::kNextButton, "Setup Complete");
  HWND finish = vtd::CurrentPage(sheet_);
  EXPECT_TRUE(vtd::WaitUntil(
      [&] { return Enabled(sheet_, vtd::kBackButton) && Enabled(sheet_, vtd::kFinishButton); },
      kTimeout));
  EXPECT_EQ(IsDlgButtonChecked(finish, 501), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(finish, 500), BST_UNCHECKED);
  EXPECT_EQ(vtd::ControlText(finish, 501), "Yes, I want to launch Vantrel Sample now");
  Go(vtd::kBackButton, "Information");
  EXPECT_EQ(vtd::ControlText(vtd::CurrentPage(sheet_), 533), log);
  Go(vtd::kNextButton, "Setup Complete");
  // The sample's main file does not exist: its launch fails without a message.
  Press(vtd::kFinishButton);
  EXPECT_TRUE(vtd::WaitGone(sheet_, kTimeout));
  EXPECT_FALSE(IsWindowVisible(background_));
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(NewWorkDirs().empty());
}

TEST_F(InstallationTest, WholeInstallationOfTheSamplePackage) { InstallWhole(); }

// A copy moved by its relocations to another address, as Windows moves every start of a
// DYNAMIC_BASE program, runs the whole installation from there. Wine never moves a program by
// itself: it loads each at the address it asks for, and refuses to start one whose address is
// taken, so the test moves the copy as the loader would and Wine loads it where it now asks.
TEST_F(InstallationTest, WholeInstallationOfACopyMovedByItsRelocations) {
  if (!Movable(vtt::StubWith(Bytes()))) GTEST_SKIP() << "the stub has a fixed address";
  movedTo_ = 0x10000000;
  InstallWhole();
}

TEST_F(InstallationTest, BackFromTheDestinationPageWritesAndStartsNothing) {
  Start("", vtt::SamplePatch());
  GoToDestination();
  Go(vtd::kBackButton, "User Guide");
  Go(vtd::kNextButton, "Choose Destination Location");
  Go(vtd::kBackButton, "User Guide");
  char stored[MAX_PATH] = "";
  GetPrivateProfileStringA("Path", "SoftWarePath", "<none>", stored, sizeof stored,
                           WorkDirFile("Update.ini").c_str());
  EXPECT_STREQ(stored, "");
  EXPECT_FALSE(ProcessingDialog());
  EXPECT_EQ(Listing(destination_), std::vector<std::string>{"a.txt"});
  ExpectOldVersionRestored();
  ASSERT_TRUE(vtd::CancelSetup(program_.pid, IDYES, kTimeout));
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
}

TEST_F(InstallationTest, UnknownOperationCodeRollsBackWithMessage206) {
  Bytes patch = vtt::SamplePatch();
  // The insert of the \a.txt entry becomes an operation code the worker does not know.
  ASSERT_EQ(patch.at(0x7a), 2);
  patch[0x7a] = 7;
  Start("", patch);
  GoToDestination();
  ExpectFailedRun(kDataError);
  ExpectOldVersionRestored();
}

// The stub runs add operations (and says so to the tools that pack it): a file rebuilt from
// old bytes plus a difference, one larger than the engine's buffer for the sums.
// A split body beside an interleaved one in the same script, and a new file in a new folder
// built from another file, which stays as it is until its own entry updates it.
TEST_F(InstallationTest, AddOperationsRebuildFilesAndTheStubSaysItRunsThem) {
  vt::BuildCrcTable();
  const Bytes stub = vtt::ReadFileBytes(vtd::FromUnixPath(VT_STUB_PATH));
  const std::string marker = VT_FROM_MARKER;
  EXPECT_NE(std::search(stub.begin(), stub.end(), marker.begin(), marker.end()), stub.end());
  std::string old(5000, '\0'), now, diff(5000, '\0');
  for (size_t i = 0; i < old.size(); ++i) old[i] = char(i * 7 + i / 251);
  now = old;
  for (size_t i = 0; i < now.size(); i += 3) now[i] = char(uint8_t(now[i]) + 0x90);
  for (size_t i = 0; i < now.size(); ++i) diff[i] = char(uint8_t(now[i] - old[i]));
  ASSERT_TRUE(vtt::WriteFileBytes(destination_ + "\\code.bin", vtt::ToBytes(old)));
  const std::string a(oldA_.begin(), oldA_.end());
  vtt::Script script;
  script.Entry(vtt::Crc(a), vtt::Crc(a + "?"), "\\copies\\a.txt").From("\\a.txt").Split()
      .Copy(uint32_t(a.size()), 0).Insert("?").End();
  script.Entry(vtt::Crc(old), vtt::Crc(now), "\\code.bin").Split().Add(0, diff).End();
  script.Entry(vtt::Crc(a), vtt::Crc(a + "!"), "\\a.txt")
      .Add(0, std::string(a.size(), '\0'))
      .Insert("!")
      .End();
  Start("", script.bytes());
  GoToDestination();
  Go(vtd::kNextButton, "Information");
  EXPECT_EQ(vtt::ReadFileBytes(destination_ + "\\code.bin"), vtt::ToBytes(now));
  EXPECT_EQ(vtt::ReadFileBytes(destination_ + "\\a.txt"), vtt::ToBytes(a + "!"));
  EXPECT_EQ(vtt::ReadFileBytes(destination_ + "\\copies\\a.txt"), vtt::ToBytes(a + "?"));
  CloseOnResultsPage();
}

// The stub unpacks block 2 through a window of 1 MiB, and the run reads Patch.dat through one of
// 1 MiB too, a quarter of it for each stream of split bodies: a script of several windows and
// several bzip2 blocks, whose records, entries, operands and streams span the windows' edges,
// arrives whole and is applied whole.
TEST_F(InstallationTest, PatchScriptLargerThanTheUnpackWindowInstallsWhole) {
  vt::BuildCrcTable();
  std::string big(3 * 1024 * 1024 + 12345, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char((i * 2654435761u) >> 13);
  const std::string a(oldA_.begin(), oldA_.end());
  vtt::Script script;
  script.NewFile("\\big.bin", big);
  script.Entry(vtt::Crc(a), vtt::Crc(a + big), "\\a.txt")
      .Split()
      .Copy(uint32_t(a.size()), 0)
      .Insert(big)
      .End();
  Start("", script.bytes());
  GoToDestination();
  Go(vtd::kNextButton, "Information");
  EXPECT_EQ(vtt::ReadFileBytes(destination_ + "\\big.bin"), vtt::ToBytes(big));
  EXPECT_EQ(vtt::ReadFileBytes(destination_ + "\\a.txt"), vtt::ToBytes(a + big));
  CloseOnResultsPage();
}

// The installer's memory for block 2 does not grow with the script: with
// VANTREL_LARGE_SCRIPT_MIB set (bench/wine_installer_memory.sh), an installer whose Patch.dat
// holds one new file of that many MiB installs it, and its resident peak, printed, stays under
// 64 MiB.
TEST_F(InstallationTest, LargeScriptInstallsInBoundedMemory) {
  const char* mib = getenv("VANTREL_LARGE_SCRIPT_MIB");
  if (!mib) GTEST_SKIP() << "VANTREL_LARGE_SCRIPT_MIB is not set";
  const uint64_t size = uint64_t(strtoul(mib, nullptr, 10)) << 20;
  Bytes script;
  {
    vtt::Script s;
    s.NewFile("\\big.bin", std::string(size_t(size), 'z'));
    script = s.bytes();
  }
  ASSERT_NO_FATAL_FAILURE(Start("", script));
  Bytes().swap(script);
  ASSERT_NO_FATAL_FAILURE(GoToDestination());
  ASSERT_NO_FATAL_FAILURE(Press(vtd::kNextButton));
  ASSERT_TRUE(vtd::WaitUntil([&] { return vtd::WindowText(sheet_) == "Information"; }, 1200000));
  PROCESS_MEMORY_COUNTERS counters = {};
  ASSERT_TRUE(K32GetProcessMemoryInfo(program_.process, &counters, sizeof counters));
  std::printf("installer peak resident: %llu KiB for a script of %llu MiB\n",
              static_cast<unsigned long long>(counters.PeakWorkingSetSize >> 10),
              static_cast<unsigned long long>(size >> 20));
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExA((destination_ + "\\big.bin").c_str(), GetFileExInfoStandard,
                                   &data));
  EXPECT_EQ((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow, size);
  EXPECT_LT(counters.PeakWorkingSetSize, size_t(64) << 20);
  CloseOnResultsPage();
}

TEST_F(InstallationTest, MainFileHeldOpenRollsBackWithMessage207) {
  Start("[App]\r\nMainFile=a.txt\r\n", vtt::SamplePatch());
  GoToDestination();
  ExpectHeldMainFileRollsBack("\\a.txt");
}

// ---- ANSI code pages ---------------------------------------------------------------------------

// Über.exe in the script, über.exe in Update.ini: one name to the system's ANSI comparison.
TEST_F(InstallationTest, MainFileWithAnUmlautHeldOpenRollsBackWithMessage207) {
  if (GetACP() != 1252) GTEST_SKIP() << "needs code page 1252";
  const std::string upper = "\xdc" "ber.exe", lower = "\xfc" "ber.exe";
  ASSERT_TRUE(vtt::WriteFileBytes(destination_ + "\\" + upper, vtt::ToBytes("abc")));
  vtt::Script script;
  script.Update("\\a.txt", "abc", "abXc").Update("\\" + upper, "abc", "abXc");
  Start("[App]\r\nMainFile=" + lower + "\r\n", script.bytes());
  GoToDestination();
  ExpectHeldMainFileRollsBack("\\" + upper);
}

// A licence saved in UTF-8, as vantrel build puts it into the installer, reads right.
TEST_F(InstallationTest, Utf8LicenceShowsRightOnTheLicencePage) {
  const std::string utf8 = "Licence \xe2\x80\x94 \xc2\xa9 M\xc3\xbcller\r\nSecond line\r\n";
  std::string error;
  ASSERT_TRUE(vt::SelectCodePage(GetACP(), &error)) << error;
  Bytes converted;
  ASSERT_TRUE(vt::ConvertSetupText("License.txt", vtt::ToBytes(utf8), &converted, &error))
      << error;
  vtt::SetFile(&files_, "License.txt", Text(converted));
  Start("", vtt::SamplePatch());
  ASSERT_TRUE(vtd::WaitUntil([&] { return Enabled(sheet_, vtd::kNextButton); }, kTimeout));
  Go(vtd::kNextButton, "Software Licence Agreement");
  std::string shown;
  ASSERT_TRUE(vt::AnsiToUtf8(vtd::ControlText(vtd::CurrentPage(sheet_), 530), &shown));
  EXPECT_EQ(shown, utf8);
  ASSERT_TRUE(vtd::CancelSetup(program_.pid, IDYES, kTimeout));
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
}

// Under code page 932 (Wine run with LC_ALL=ja_JP.UTF-8): 表 is 95 5C and ポ is 83 7C.
TEST_F(InstallationTest, JapaneseNamesInstallWhole) {
  if (GetACP() != 932) GTEST_SKIP() << "needs code page 932";
  const std::string path = "\\\x95\x5c\\\x83\x54\x83\x7c\x81\x5b\x83\x67\\\x90\xe0\x96\xbe.txt";
  const std::string data = "\x90\xe0\x96\xbe";
  vtt::Script script;
  script.Update("\\a.txt", "abc", "abXc").NewFile(path, data);
  Start("[App]\r\nMainFile=\x95\x5c.exe\r\n", script.bytes());
  GoToDestination();
  Go(vtd::kNextButton, "Information");
  EXPECT_EQ(Text(vtt::ReadFileBytes(destination_ + path)), data);
  EXPECT_EQ(Listing(destination_ + "\\\x95\x5c"),
            std::vector<std::string>{"\x83\x54\x83\x7c\x81\x5b\x83\x67\\"});
  std::string log = Text(vtt::ReadFileBytes(destination_ + "\\Vantrel.log"));
  EXPECT_NE(log.find(path.substr(1) + " -> File installed successfully!"), std::string::npos)
      << log;
  Go(vtd::kNextButton, "Setup Complete");
  Press(vtd::kFinishButton);
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(NewWorkDirs().empty());
}

TEST_F(InstallationTest, CancelDuringTheRunRollsBackWithMessage208) {
  Start("", NewFilesScript(3000, 2000));
  GoToDestination();
  Press(vtd::kNextButton);
  HWND dialog = nullptr;
  ASSERT_TRUE(vtd::WaitUntil([&] { return (dialog = ProcessingDialog()) != nullptr; }, kTimeout));
  EXPECT_FALSE(IsWindowVisible(sheet_));
  EXPECT_EQ(GetWindow(dialog, GW_OWNER), background_);
  // The destination was stored before the dialog opened; the wizard stays hidden meanwhile.
  char stored[MAX_PATH] = "";
  GetPrivateProfileStringA("Path", "SoftWarePath", "", stored, sizeof stored,
                           WorkDirFile("Update.ini").c_str());
  EXPECT_EQ(stored, destination_);
  HWND progress = GetDlgItem(dialog, 550);
  ASSERT_TRUE(vtd::WaitUntil(
      [&] { return SendMessageA(progress, 0x408 /* PBM_GETPOS */, 0, 0) > 5; }, kTimeout));
  EXPECT_EQ(SendMessageA(progress, 0x407 /* PBM_GETRANGE */, FALSE, 0), 3000);
  // Return acts as the dialog's default button, Cancel.
  vtd::PostKey(GetDlgItem(dialog, IDCANCEL), VK_RETURN);
  HWND box = vtd::WaitForMessageBox(program_.pid, background_, 60000);
  ASSERT_TRUE(box);
  vtd::MessageBoxView view;
  ASSERT_TRUE(vtd::ReadMessageBox(box, &view));
  EXPECT_EQ(view.text, "Operation canceled; The program cannot be installed.");
  EXPECT_FALSE(IsWindowVisible(sheet_));
  ExpectOldVersionRestored();
  ASSERT_TRUE(vtd::PressButton(box, IDOK));
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(NewWorkDirs().empty());
}

// An installation killed during its run (Task Manager, a crash): each file keeps its old or
// its new content, and the next start of the installer repairs what the killed one left
// before its own run, which then completes.
TEST_F(InstallationTest, KilledDuringTheRunTheNextInstallationRepairsAndCompletes) {
  const int kFiles = 1000;
  const Bytes script = NewFilesScript(kFiles, 2000);
  // Every file exists in the old version, so each entry moves an old file into the BackupDir.
  auto name = [&](int i) { return destination_ + "\\file" + std::to_string(i) + ".txt"; };
  auto newContent = [](int i) { return Bytes(2000, uint8_t('a' + i % 26)); };
  for (int i = 0; i < kFiles; ++i)
    ASSERT_TRUE(vtt::WriteFileBytes(name(i), vtt::ToBytes("old " + std::to_string(i))));
  Start("", script);
  GoToDestination();
  Press(vtd::kNextButton);
  ASSERT_TRUE(WaitForProgressPast(100)) << "no run under way";
  vtd::Kill(&program_);
  int replaced = 0;
  for (int i = 0; i < kFiles; ++i) {
    const Bytes now = vtt::ReadFileBytes(name(i));
    const bool isNew = now == newContent(i);
    replaced += isNew;
    // A file out of its place for a moment has its old content in the BackupDir.
    if (!isNew && !Exists(name(i))) continue;
    EXPECT_TRUE(isNew || Text(now) == "old " + std::to_string(i)) << i;
  }
  EXPECT_GT(replaced, 0);
  EXPECT_LT(replaced, kFiles) << "the run ended before it was killed";
  std::vector<std::string> left = Listing(destination_);
  EXPECT_TRUE(std::any_of(left.begin(), left.end(),
                          [](const std::string& n) { return n.rfind("BAK", 0) == 0; }));

  Start("", script);
  GoToDestination();
  Press(vtd::kNextButton);
  ASSERT_TRUE(vtd::WaitUntil([&] { return vtd::WindowText(sheet_) == "Information"; }, 120000));
  const std::string log = Text(vtt::ReadFileBytes(destination_ + "\\Vantrel.log"));
  EXPECT_NE(log.find(" -> Left by an interrupted setup; removed.\r\n"), std::string::npos);
  EXPECT_NE(log.find("file0.txt -> File existed, and overwritten.\r\n"), std::string::npos);
  for (int i = 0; i < kFiles; ++i) EXPECT_TRUE(vtt::ReadFileBytes(name(i)) == newContent(i)) << i;
  for (const std::string& entry : Listing(destination_))
    EXPECT_TRUE(entry.rfind("BAK", 0) != 0 && entry.rfind("PCH", 0) != 0) << entry;
  Go(vtd::kNextButton, "Setup Complete");
  Press(vtd::kFinishButton);
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  // The killed installer's WorkDir is the one trace outside the destination.
  for (const std::string& dir : NewWorkDirs()) RemoveTree(vtd::TempPath() + dir);
}

TEST_F(InstallationTest, CorruptPatchBlockWithoutSplashGives206WhenTheRunStarts) {
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  std::string ini = Text(vtt::ReadFileBytes(vtd::FromUnixPath(VT_SAMPLES_DIR "/Update.ini")));
  vtt::SetFile(&files, "Update.ini", "[App]\r\nShowSplash=0\r\n" + ini);
  Bytes installer = vtt::MakeInstaller(files, vtt::SamplePatch());
  // Damage the last bytes, inside block 2's bzip2 stream.
  installer[installer.size() - 8] ^= 0x55;
  installer[installer.size() - 20] ^= 0x55;
  ASSERT_TRUE(vtd::Start(vtt::SaveInstaller("corrupt2.exe", installer), &program_));
  sheet_ = vtd::WaitForWizard(program_.pid, kTimeout);
  ASSERT_TRUE(sheet_);
  background_ = GetWindow(sheet_, GW_OWNER);
  GoToDestination();
  ExpectFailedRun(kDataError);
  // No worker ran: the destination is untouched, not even a ResultLog.
  EXPECT_EQ(Listing(destination_), std::vector<std::string>{"a.txt"});
  ExpectOldVersionRestored();
}

// The installer holds its own file from its start: renamed and replaced by another installer
// before Next (block 2 is unpacked then when there is no splash), it still installs its own
// payload, never the other one's.
TEST_F(InstallationTest, SwappedInstallerFileFeedsNoOtherPayload) {
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  std::string ini = Text(vtt::ReadFileBytes(vtd::FromUnixPath(VT_SAMPLES_DIR "/Update.ini")));
  vtt::SetFile(&files, "Update.ini", "[App]\r\nShowSplash=0\r\n" + ini);
  const std::string path =
      vtt::SaveInstaller("swapped.exe", vtt::MakeInstaller(files, vtt::SamplePatch()));
  const std::string moved = path + ".moved";
  DeleteFileA(moved.c_str());
  ASSERT_TRUE(vtd::Start(path, &program_));
  sheet_ = vtd::WaitForWizard(program_.pid, kTimeout);
  ASSERT_TRUE(sheet_);
  background_ = GetWindow(sheet_, GW_OWNER);
  GoToDestination();
  // The swap: neither a rename nor a write of the running installer's file gets through.
  const Bytes other = vtt::MakeInstaller(files, NewFilesScript(1, 2000, "\\planted"));
  EXPECT_FALSE(MoveFileA(path.c_str(), moved.c_str())) << "the installer's file was renamed";
  EXPECT_FALSE(vtt::WriteFileBytes(path, other)) << "another installer took its place";
  Go(vtd::kNextButton, "Information");
  EXPECT_EQ(Listing(destination_), (std::vector<std::string>{"Vantrel.log", "a.txt", "notes.txt"}));
  EXPECT_EQ(vtt::ReadFileBytes(destination_ + "\\a.txt"),
            vtt::ReadFileBytes(vtd::FromUnixPath(std::string(kSamplesNew) + "/a.txt")));
  CloseOnResultsPage();
  DeleteFileA(moved.c_str());
}

// Yes to the external command runs it in the destination; a ticked launch opens the main file.
TEST_F(InstallationTest, FinishRunsTheCommandInTheDestinationAndLaunchesTheMainFile) {
  ASSERT_TRUE(vtt::WriteFileBytes(destination_ + "\\launch.bat",
                                  vtt::ToBytes("@cd > launched.txt\r\n")));
  oldA_ = vtt::ReadFileBytes(destination_ + "\\a.txt");
  Start("[App]\r\nMainFile=launch.bat\r\n[ShellExec]\r\nCommand=cmd.exe\r\n"
        "Parameter=/c cd > command.txt\r\n",
        vtt::SamplePatch());
  GoToDestination();
  Go(vtd::kNextButton, "Information");
  Go(vtd::kNextButton, "Setup Complete");
  Press(vtd::kFinishButton);
  HWND box = nullptr;
  ASSERT_TRUE(vtd::WaitUntil([&] {
    for (HWND window : vtd::TopLevelWindows(program_.pid))
      if (GetDlgItem(window, 0xFFFF) && GetDlgItem(window, IDYES)) return (box = window) != nullptr;
    return false;
  }, kTimeout));
  vtd::MessageBoxView view;
  ASSERT_TRUE(vtd::ReadMessageBox(box, &view));
  EXPECT_EQ(view.text,
            "This Setup program is going to run an external command below, press Yes to continue, "
            "or No to cancel.\ncmd.exe /c cd > command.txt");
  EXPECT_EQ(view.icon, vtd::Icon::kQuestion);
  EXPECT_FALSE(IsWindowVisible(sheet_));
  EXPECT_FALSE(IsWindowVisible(background_));
  ASSERT_TRUE(vtd::PressButton(box, IDYES));
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(NewWorkDirs().empty());
  for (const char* name : {"command.txt", "launched.txt"}) {
    std::string recorded = Text(vtt::ReadFileBytes(destination_ + "\\" + name));
    EXPECT_EQ(recorded.substr(0, destination_.size()), destination_) << name << ": " << recorded;
  }
}

// Makes record_launch the program that opens .txt files while it lives, so that the Read Me the
// finish sequence opens is recorded instead of opening an editor.
class TextFilesOpenedByRecorder {
 public:
  TextFilesOpenedByRecorder() {
    LONG size = sizeof previous_;
    if (RegQueryValueA(HKEY_CLASSES_ROOT, ".txt", previous_, &size) != ERROR_SUCCESS)
      previous_[0] = 0;
    const std::string command = "\"" + vtd::FromUnixPath(VT_RECORDER_PATH) + "\" \"%1\"";
    RegSetValueA(HKEY_CLASSES_ROOT, ".txt", REG_SZ, kClass, 0);
    RegSetValueA(HKEY_CLASSES_ROOT, (std::string(kClass) + "\\shell\\open\\command").c_str(),
                 REG_SZ, command.c_str(), 0);
  }
  ~TextFilesOpenedByRecorder() {
    RegSetValueA(HKEY_CLASSES_ROOT, ".txt", REG_SZ, previous_, 0);
    RegDeleteTreeA(HKEY_CLASSES_ROOT, kClass);
  }

 private:
  static constexpr const char* kClass = "VantrelTestRecordedText";
  char previous_[MAX_PATH];
};

// One line per program the finish sequence started: working folder, command line, show command.
std::vector<std::vector<std::string>> RecordedLaunches(const std::string& path) {
  std::vector<std::vector<std::string>> launches;
  std::string text = Text(vtt::ReadFileBytes(path));
  for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    std::vector<std::string> fields;
    std::string line = text.substr(start, end - start);
    for (size_t from = 0, tab;; from = tab + 1) {
      tab = line.find('\t', from);
      fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
      if (tab == std::string::npos) break;
    }
    launches.push_back(fields);
  }
  return launches;
}

// Yes to the external command, the Read Me and the launch ticked: each is opened in its folder
// with its show command, in that order.
TEST_F(InstallationTest, FinishOpensTheCommandTheReadMeAndTheMainFileAsChosen) {
  const std::string record = vtd::TempPath() + "vantrel_launches.txt";
  DeleteFileA(record.c_str());
  SetEnvironmentVariableA("VT_RECORD_FILE", record.c_str());
  const std::string recorder = vtd::FromUnixPath(VT_RECORDER_PATH);
  ASSERT_TRUE(CopyFileA(recorder.c_str(), (destination_ + "\\main.exe").c_str(), FALSE));
  TextFilesOpenedByRecorder textHandler;
  Start("[App]\r\nMainFile=main.exe\r\n[ShellExec]\r\nCommand=" + recorder +
            "\r\nParameter=alpha beta\r\nShowWindow=2\r\n",
        vtt::SamplePatch());
  GoToDestination();
  Go(vtd::kNextButton, "Information");
  Go(vtd::kNextButton, "Setup Complete");
  ASSERT_TRUE(vtd::PressButton(vtd::CurrentPage(sheet_), 500));  // tick the Read Me
  ASSERT_TRUE(vtd::WaitUntil(
      [&] { return IsDlgButtonChecked(vtd::CurrentPage(sheet_), 500) == BST_CHECKED; }, kTimeout));
  Press(vtd::kFinishButton);
  HWND box = nullptr;
  ASSERT_TRUE(vtd::WaitUntil([&] {
    for (HWND window : vtd::TopLevelWindows(program_.pid))
      if (GetDlgItem(window, IDYES)) return (box = window) != nullptr;
    return false;
  }, kTimeout));
  ASSERT_TRUE(vtd::PressButton(box, IDYES));
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  SetEnvironmentVariableA("VT_RECORD_FILE", nullptr);

  const auto launches = RecordedLaunches(record);
  ASSERT_EQ(launches.size(), 3u) << Text(vtt::ReadFileBytes(record));
  // The external command: in DestinationDir, with its parameters and the package's show value.
  EXPECT_EQ(launches[0][0], destination_);
  EXPECT_NE(launches[0][1].find("alpha beta"), std::string::npos) << launches[0][1];
  EXPECT_EQ(launches[0][2], "2");
  // The Read Me: the unpacked copy, opened in the WorkDir.
  EXPECT_EQ(launches[1][0].rfind(vtd::TempPath() + "VTA", 0), 0u) << launches[1][0];
  EXPECT_NE(launches[1][1].find("Readme.txt"), std::string::npos) << launches[1][1];
  // The main file: in DestinationDir.
  EXPECT_EQ(launches[2][0], destination_);
  EXPECT_NE(launches[2][1].find("main.exe"), std::string::npos) << launches[2][1];
  EXPECT_TRUE(NewWorkDirs().empty());
  DeleteFileA(record.c_str());
}

// No to the external command runs nothing; a ticked Read Me that the package lacks and a
// missing main file end the installer without a message.
TEST_F(InstallationTest, FinishWithNoRunsNothingAndMissingFilesGiveNoMessage) {
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  vtt::RemoveFile(&files, "Readme.txt");
  std::string ini = Text(vtt::ReadFileBytes(vtd::FromUnixPath(VT_SAMPLES_DIR "/Update.ini")));
  vtt::SetFile(&files, "Update.ini",
               "[ShellExec]\r\nCommand=cmd.exe\r\nParameter=/c cd > command.txt\r\n" + ini);
  std::string installer =
      vtt::SaveInstaller("finishno.exe", vtt::MakeInstaller(files, vtt::SamplePatch()));
  ASSERT_TRUE(vtd::Start(installer, &program_));
  sheet_ = vtd::WaitForWizard(program_.pid, kTimeout);
  ASSERT_TRUE(sheet_);
  background_ = GetWindow(sheet_, GW_OWNER);
  GoToDestination();
  Go(vtd::kNextButton, "Information");
  Go(vtd::kNextButton, "Setup Complete");
  ASSERT_TRUE(vtd::PressButton(vtd::CurrentPage(sheet_), 500));
  Press(vtd::kFinishButton);
  HWND box = nullptr;
  ASSERT_TRUE(vtd::WaitUntil([&] {
    for (HWND window : vtd::TopLevelWindows(program_.pid))
      if (GetDlgItem(window, IDNO)) return (box = window) != nullptr;
    return false;
  }, kTimeout));
  ASSERT_TRUE(vtd::PressButton(box, IDNO));
  // Nothing else asks or reports: the installer ends by itself.
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(NewWorkDirs().empty());
  EXPECT_FALSE(Exists(destination_ + "\\command.txt"));
}

// A Language.ini section for the user's language replaces titles, messages and control texts
// of these pages; the file names shown stay those of the package.
TEST_F(InstallationTest, LanguageIniLocalisesTheInstallation) {
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  char section[8];
  std::snprintf(section, sizeof section, "$%04X", GetUserDefaultLangID());
  vtt::SetFile(&files, "Language.ini",
               std::string("[") + section +
                   "]\r\nID304=Zielordner\r\nID361=Ziel von %p\r\nID531=nicht hier\r\n"
                   "ID306=Ergebnis\r\nID364=Protokoll:\r\nID533=kein Protokoll\r\n"
                   "ID307=Fertig\r\nID501=%p starten\r\nID363=Bitte warten\r\n");
  std::string ini = Text(vtt::ReadFileBytes(vtd::FromUnixPath(VT_SAMPLES_DIR "/Update.ini")));
  vtt::SetFile(&files, "Update.ini", ini);
  std::string installer =
      vtt::SaveInstaller("language.exe", vtt::MakeInstaller(files, vtt::SamplePatch()));
  ASSERT_TRUE(vtd::Start(installer, &program_));
  sheet_ = vtd::WaitForWizard(program_.pid, kTimeout);
  ASSERT_TRUE(sheet_);
  background_ = GetWindow(sheet_, GW_OWNER);
  vtd::SaveScreenshot(vtt::ArtefactsDir() + "\\install_welcome.bmp");
  ASSERT_TRUE(vtd::WaitUntil([&] { return Enabled(sheet_, vtd::kNextButton); }, kTimeout));
  Go(vtd::kNextButton, "Software Licence Agreement");
  ASSERT_TRUE(vtd::PressButton(vtd::CurrentPage(sheet_), 502));
  vtd::SaveScreenshot(vtt::ArtefactsDir() + "\\install_licence.bmp");
  Go(vtd::kNextButton, "User Guide");
  vtd::SaveScreenshot(vtt::ArtefactsDir() + "\\install_guide.bmp");
  Go(vtd::kNextButton, "Zielordner");
  HWND page = vtd::CurrentPage(sheet_);
  EXPECT_EQ(vtd::ControlText(page, 361), "Ziel von Vantrel Sample");
  EXPECT_EQ(vtd::ControlText(page, 531), destination_);
  vtd::SaveScreenshot(vtt::ArtefactsDir() + "\\install_destination.bmp");
  Go(vtd::kNextButton, "Ergebnis");
  HWND results = vtd::CurrentPage(sheet_);
  EXPECT_EQ(vtd::ControlText(results, 364), "Protokoll:");
  EXPECT_EQ(vtd::ControlText(results, 533),
            Text(vtt::ReadFileBytes(destination_ + "\\Vantrel.log")));
  vtd::SaveScreenshot(vtt::ArtefactsDir() + "\\install_results.bmp");
  Go(vtd::kNextButton, "Fertig");
  EXPECT_EQ(vtd::ControlText(vtd::CurrentPage(sheet_), 501), "Vantrel Sample starten");
  vtd::SaveScreenshot(vtt::ArtefactsDir() + "\\install_finish.bmp");
  ASSERT_TRUE(vtd::PressButton(vtd::CurrentPage(sheet_), 501));
  Press(vtd::kFinishButton);
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
}

// Cancel on the Results page ends the installer at once, running nothing of the finish.
TEST_F(InstallationTest, CancelOnTheResultsPageRunsNoFinishStep) {
  ASSERT_TRUE(vtt::WriteFileBytes(destination_ + "\\launch.bat",
                                  vtt::ToBytes("@cd > launched.txt\r\n")));
  Start("[App]\r\nMainFile=launch.bat\r\n[ShellExec]\r\nCommand=cmd.exe\r\n"
        "Parameter=/c cd > command.txt\r\n",
        vtt::SamplePatch());
  GoToDestination();
  Go(vtd::kNextButton, "Information");
  // The changes can no longer be cancelled: Wine's sheet disables Cancel for that (Windows
  // renames it Close); the close box still ends the wizard.
  ASSERT_TRUE(vtd::WaitUntil(
      [&] { return !Enabled(sheet_, IDCANCEL) || vtd::ControlText(sheet_, IDCANCEL) == "Close"; },
      kTimeout));
  PostMessageA(sheet_, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(NewWorkDirs().empty());
  Sleep(1000);
  EXPECT_FALSE(Exists(destination_ + "\\command.txt"));
  EXPECT_FALSE(Exists(destination_ + "\\launched.txt"));
  EXPECT_TRUE(Exists(destination_ + "\\notes.txt"));
}


// ---- What a user may do meanwhile --------------------------------------------------------

// The About box and the quit question freeze the wizard; while the run goes on, the background
// refuses its close box (Alt+F4 and the taskbar's close come the same way) and About, so the
// run completes whatever the user tries.
TEST_F(InstallationTest, NothingEndsTheInstallerDuringTheRun) {
  const int kFiles = 2500;
  Start("", NewFilesScript(kFiles, 2000));
  PostMessageA(background_, WM_SYSCOMMAND, 330, 0);
  HWND about = vtd::WaitForWindow(program_.pid, "#32770", kTimeout, "About Vantrel Installer");
  ASSERT_TRUE(about) << "no About box";
  EXPECT_FALSE(IsWindowEnabled(sheet_));
  ASSERT_TRUE(vtd::PressButton(about, IDOK));
  EXPECT_TRUE(vtd::WaitUntil([&] { return IsWindowEnabled(sheet_) != 0; }, kTimeout));
  PostMessageA(background_, WM_CLOSE, 0, 0);
  HWND question = vtd::WaitForMessageBox(program_.pid, background_, kTimeout);
  ASSERT_TRUE(question) << "no quit question";
  EXPECT_FALSE(IsWindowEnabled(sheet_));
  ASSERT_TRUE(vtd::PressButton(question, IDNO));
  EXPECT_TRUE(vtd::WaitUntil([&] { return IsWindowEnabled(sheet_) != 0; }, kTimeout));

  GoToDestination();
  Press(vtd::kNextButton);
  ASSERT_TRUE(WaitForProgressPast(5)) << "no run under way";
  PostMessageA(background_, WM_SYSCOMMAND, SC_CLOSE, 0);
  PostMessageA(background_, WM_CLOSE, 0, 0);
  PostMessageA(background_, WM_SYSCOMMAND, 330, 0);
  ExpectResultsPage();
  // Neither a question nor the About box came up: the background and the wizard only.
  EXPECT_EQ(vtd::TopLevelWindows(program_.pid).size(), 2u);
  ExpectWhollyNew(kFiles);
  CloseOnResultsPage();
}

// A double click on Next: the second press, queued while the run goes on, starts nothing.
TEST_F(InstallationTest, DoubleNextOnTheDestinationPageRunsOnce) {
  const int kFiles = 2500;
  Start("", NewFilesScript(kFiles, 2000));
  GoToDestination();
  ASSERT_TRUE(vtd::WaitUntil([&] { return Enabled(sheet_, vtd::kNextButton); }, kTimeout));
  HWND next = GetDlgItem(sheet_, vtd::kNextButton);
  PostMessageA(next, BM_CLICK, 0, 0);
  PostMessageA(next, BM_CLICK, 0, 0);
  ExpectResultsPage();
  ExpectWhollyNew(kFiles);
  CloseOnResultsPage();
}

// A destination that cannot take the log (here a folder holds its name, as rights would refuse
// it under Program Files), or whose path leaves no room for a path of the package, is reported
// as such, and nothing in it changes.
TEST_F(InstallationTest, UnusableDestinationIsReportedAndNothingChanges) {
  struct Case {
    const char* name;
    bool logIsAFolder;
    std::string prefix;  // of the one new file's path
    const char* message;
  };
  const Case cases[] = {
      {"log cannot be created", true, "\\file",
       "Setup cannot write to the destination folder; The program cannot be installed."},
      // Fits below the destination, not below its BackupDir.
      {"path too long", false, "\\" + std::string(200, 'x'),
       "The destination folder's path is too long; The program cannot be installed."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.logIsAFolder) CreateDirectoryA((destination_ + "\\Vantrel.log").c_str(), nullptr);
    const std::vector<std::string> listing = Listing(destination_);
    Start("", NewFilesScript(1, 2000, c.prefix));
    GoToDestination();
    ExpectFailedRun(c.message);
    EXPECT_EQ(Listing(destination_), listing);
    EXPECT_EQ(vtt::ReadFileBytes(destination_ + "\\a.txt"), oldA_);
    vtd::Kill(&program_);
    RemoveDirectoryA((destination_ + "\\Vantrel.log").c_str());
  }
}

}  // namespace
