// Start-up of real installers under Wine: the WorkDir, block 1, the mutex checks, damaged
// payloads and localised messages.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "format/file_format.h"
#include "tests/wine/driver.h"
#include "tests/wine/installer_test.h"
#include "tests/wine/test_installers.h"

namespace {

using vtt::Bytes;
using vtt::kTierStubSize;

const char kDataError[] =
    "Data integrity (CRC) error in data!\nIf you downloaded this file, try to download it again.";
const DWORD kTimeout = 20000;

std::string UniqueName(const char* stem) {
  return std::string(stem) + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount());
}

class StartupTest : public vtt::InstallerTest {
 protected:


  void Run(const std::string& name, const Bytes& installer) {
    path_ = vtt::SaveInstaller(name, installer);
    ASSERT_TRUE(vtd::Start(path_, &program_));
  }

  // Expects a message box of the installer, reads it and closes it with OK.
  vtd::MessageBoxView CloseMessageBox() {
    vtd::MessageBoxView view;
    HWND box = vtd::WaitForWindow(program_.pid, "#32770", kTimeout);
    EXPECT_TRUE(box) << "no message box appeared";
    if (!box) return view;
    vtd::ReadMessageBox(box, &view);
    EXPECT_TRUE(vtd::PressButton(box, IDOK));
    return view;
  }

  void ExpectDataErrorAndCleanExit(const std::string& name, const Bytes& installer) {
    SCOPED_TRACE(name);
    Run(name, installer);
    vtd::MessageBoxView view = CloseMessageBox();
    EXPECT_EQ(view.text, kDataError);
    EXPECT_EQ(view.caption, "Vantrel");
    EXPECT_EQ(view.icon, vtd::Icon::kStop);
    EXPECT_EQ(view.owner, nullptr);
    EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
    EXPECT_TRUE(NewWorkDirs().empty());
  }

  std::string path_;
};

TEST_F(StartupTest, GoodPayloadEndsWithExitCodeZeroAndNoWorkDir) {
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  for (const char* showSplash : {"1", "0"}) {
    SCOPED_TRACE(showSplash);
    vtt::SetFile(&files, "Update.ini",
                 std::string("[App]\r\nAppName=Good\r\nShowSplash=") + showSplash + "\r\n");
    Run("good.exe", vtt::MakeInstaller(files, vtt::SamplePatch()));
    EXPECT_TRUE(vtd::CancelSetup(program_.pid, IDYES, kTimeout));
    EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
    EXPECT_TRUE(NewWorkDirs().empty());
  }
}

// A running target application holds the installer at message 219, which lets the test look
// into the WorkDir while the installer lives.
TEST_F(StartupTest, TargetRunningShowsWarningAfterUnpackingIntoWorkDir) {
  std::string target = UniqueName("VantrelTarget");
  HANDLE held = CreateMutexA(nullptr, TRUE, target.c_str());
  ASSERT_TRUE(held);
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  vtt::SetFile(&files, "Update.ini", "[App]\r\nAppName=Held\r\nTargetMutex=" + target + "\r\n");
  Run("target.exe", vtt::MakeInstaller(files, vtt::SamplePatch()));

  HWND box = vtd::WaitForWindow(program_.pid, "#32770", kTimeout);
  ASSERT_TRUE(box);
  std::vector<std::string> dirs = NewWorkDirs();
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_EQ(dirs[0].substr(0, 3), "VTA");
  EXPECT_EQ(dirs[0].substr(dirs[0].size() - 4), ".tmp");
  for (const vt::PayloadFile& file : files) {
    SCOPED_TRACE(file.name);
    EXPECT_EQ(vtt::ReadFileBytes(vtd::TempPath() + dirs[0] + "\\" + file.name), file.data);
  }

  vtd::MessageBoxView view;
  vtd::ReadMessageBox(box, &view);
  EXPECT_EQ(view.text,
            "Setup program has detected Vantrel is currently running.\n\nPlease close all "
            "instances of it before Setup.");
  EXPECT_EQ(view.icon, vtd::Icon::kWarning);
  EXPECT_EQ(view.owner, nullptr);
  EXPECT_TRUE(vtd::PressButton(box, IDOK));
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(NewWorkDirs().empty());
  CloseHandle(held);
}

// Run elevated (Wine's user is an administrator), the installer's WorkDir lets nobody but
// SYSTEM, the Administrators and its owner change anything in it, and grants Everyone nothing.
// Wine keeps no security descriptor of its own but shows one made from the Unix mode bits, so
// what it can show is that Everyone lost the entry that a folder of default rights has there.
TEST_F(StartupTest, ElevatedWorkDirIsWritableByAdministratorsAlone) {
  Run("rights.exe", vtt::MakeInstaller(vtt::SampleSetupFiles(), vtt::SamplePatch()));
  ASSERT_TRUE(vtd::WaitForWizard(program_.pid, kTimeout));
  std::vector<std::string> dirs = NewWorkDirs();
  ASSERT_EQ(dirs.size(), 1u);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoA((vtd::TempPath() + dirs[0]).c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                  nullptr, &dacl, nullptr, &descriptor),
            DWORD(ERROR_SUCCESS));
  ASSERT_TRUE(dacl) << "a null DACL lets everyone in";
  BYTE system[SECURITY_MAX_SID_SIZE], administrators[SECURITY_MAX_SID_SIZE],
      everyone[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof system;
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
  size = sizeof administrators;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
  size = sizeof everyone;
  ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
  const ACCESS_MASK kChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                               FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    PSID sid = &ace->SidStart;
    EXPECT_FALSE(EqualSid(sid, everyone)) << "entry " << i << " grants Everyone " << ace->Mask;
    if (ace->Mask & kChanges)
      EXPECT_TRUE(EqualSid(sid, system) || EqualSid(sid, administrators) || EqualSid(sid, owner))
          << "entry " << i << " lets another account change the WorkDir";
  }
  LocalFree(descriptor);
  EXPECT_TRUE(vtd::CancelSetup(program_.pid, IDYES, kTimeout));
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(NewWorkDirs().empty());
}

TEST_F(StartupTest, SecondCopyEndsSilentlyAndRemovesOnlyItsOwnWorkDir) {
  std::string applier = UniqueName("VantrelApplier");
  std::string target = UniqueName("VantrelTarget");
  HANDLE held = CreateMutexA(nullptr, TRUE, target.c_str());
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  vtt::SetFile(&files, "Update.ini",
               "[App]\r\nApplierMutex=" + applier + "\r\nTargetMutex=" + target + "\r\n");
  Bytes installer = vtt::MakeInstaller(files, vtt::SamplePatch());
  // The first copy takes the applier mutex and then waits at the target message.
  Run("first.exe", installer);
  HWND box = vtd::WaitForWindow(program_.pid, "#32770", kTimeout);
  ASSERT_TRUE(box);
  std::vector<std::string> firstDirs = NewWorkDirs();
  ASSERT_EQ(firstDirs.size(), 1u);

  vtd::Program second;
  ASSERT_TRUE(vtd::Start(vtt::SaveInstaller("second.exe", installer), &second));
  EXPECT_EQ(vtd::WaitExit(&second, kTimeout), 0);
  EXPECT_EQ(NewWorkDirs(), firstDirs);

  EXPECT_TRUE(vtd::PressButton(box, IDOK));
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(NewWorkDirs().empty());
  CloseHandle(held);
}

TEST_F(StartupTest, ApplierMutexHeldElsewhereEndsSilently) {
  std::string applier = UniqueName("VantrelApplier");
  HANDLE held = CreateMutexA(nullptr, TRUE, applier.c_str());
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  vtt::SetFile(&files, "Update.ini", "[App]\r\nApplierMutex=" + applier + "\r\n");
  Run("applier.exe", vtt::MakeInstaller(files, vtt::SamplePatch()));
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(vtd::TopLevelWindows(program_.pid).empty());
  EXPECT_TRUE(NewWorkDirs().empty());
  CloseHandle(held);
}

// A WorkDir that can be made but leaves no room for WorkDir\Language.ini in a path buffer
// cannot be used either. With a temp path of 239 characters the WorkDir (the temp path,
// "VTA", one to four hex digits and ".tmp") has 247 to 250.
TEST_F(StartupTest, WorkDirTooLongForTheSetupFilesIsADataError) {
  const std::string temp = vtd::TempPath();
  const std::string longTemp = temp + std::string(238 - temp.size(), 'l') + "\\";
  ASSERT_EQ(longTemp.size(), 239u);
  ASSERT_TRUE(CreateDirectoryA(longTemp.c_str(), nullptr) ||
              GetLastError() == ERROR_ALREADY_EXISTS);
  // Saved once before the change, so that the scratch folder stays in the usual temp path.
  const Bytes installer = vtt::MakeInstaller(vtt::SampleSetupFiles(), vtt::SamplePatch());
  vtt::SaveInstaller("longtemp.exe", installer);
  char tmp[MAX_PATH] = "", tempVariable[MAX_PATH] = "";
  GetEnvironmentVariableA("TMP", tmp, sizeof tmp);
  GetEnvironmentVariableA("TEMP", tempVariable, sizeof tempVariable);
  SetEnvironmentVariableA("TMP", longTemp.c_str());
  SetEnvironmentVariableA("TEMP", longTemp.c_str());
  ExpectDataErrorAndCleanExit("longtemp.exe", installer);
  SetEnvironmentVariableA("TMP", tmp[0] ? tmp : nullptr);
  SetEnvironmentVariableA("TEMP", tempVariable[0] ? tempVariable : nullptr);
  // Empty again: the WorkDir went with the exit.
  EXPECT_TRUE(RemoveDirectoryA(longTemp.c_str()));
}

TEST_F(StartupTest, DamagedSetupBlockShowsDataErrorAndLeavesNothing) {
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  Bytes records = vt::SerializeRecords(files);
  Bytes block2 = vtt::Block({{"Patch.dat", vtt::SamplePatch()}});

  Bytes badSignature = vtt::Block(records);
  badSignature[8] = 'X';
  ExpectDataErrorAndCleanExit("signature.exe", vtt::StubWith(vtt::Cat(badSignature, block2)));

  ExpectDataErrorAndCleanExit("blocksize1.exe",
                              vtt::StubWith(vtt::Cat(vtt::Block(records, 1), block2)));

  Bytes corrupt = vtt::Block(records);
  for (size_t i = corrupt.size() / 2; i < corrupt.size() / 2 + 16; ++i) corrupt[i] ^= 0x5A;
  ExpectDataErrorAndCleanExit("corrupt.exe", vtt::StubWith(vtt::Cat(corrupt, block2)));

  Bytes good = vtt::MakeInstaller(files, vtt::SamplePatch());
  ExpectDataErrorAndCleanExit("truncated.exe",
                              Bytes(good.begin(), good.begin() + kTierStubSize + 200));
  ExpectDataErrorAndCleanExit("stubonly.exe", Bytes(good.begin(), good.begin() + kTierStubSize));

  // More data than the stored size: the stream does not end within the output space.
  Bytes tooSmall = vtt::Block(records);
  vt::WriteLe32(&tooSmall[4], uint32_t(records.size() - 10));
  ExpectDataErrorAndCleanExit("oversize.exe", vtt::StubWith(vtt::Cat(tooSmall, block2)));

  // A block length that runs past the file.
  Bytes longLength = vtt::Block(records);
  vt::WriteLe32(&longLength[0], 0x7FFFFFF0u);
  ExpectDataErrorAndCleanExit("length.exe", vtt::StubWith(longLength));
}

TEST_F(StartupTest, UnsafeRecordsWriteNothingAnywhere) {
  const std::string escape = vtd::TempPath() + "vantrel-escape.txt";
  DeleteFileA(escape.c_str());
  for (const char* name : {"..\\vantrel-escape.txt", "../vantrel-escape.txt",
                           "C:vantrel-escape.txt", "CON"}) {
    SCOPED_TRACE(name);
    std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
    files.insert(files.begin(), {name, vtt::ToBytes("escaped")});
    Bytes block1 = vtt::Block(files);
    ExpectDataErrorAndCleanExit("unsafe.exe",
                                vtt::StubWith(vtt::Cat(block1, vtt::Block({{"Patch.dat", {}}}))));
    EXPECT_EQ(GetFileAttributesA(escape.c_str()), INVALID_FILE_ATTRIBUTES);
  }
  // A record whose data runs past the decompressed bytes.
  Bytes records = vt::SerializeRecords(vtt::SampleSetupFiles());
  vt::WriteLe32(&records[sizeof "Update.ini"], 0x10000000u);
  ExpectDataErrorAndCleanExit("recordsize.exe", vtt::StubWith(vtt::Block(records)));
}

TEST_F(StartupTest, CommandLineWithoutQuotedPathIsADataError) {
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  path_ = vtt::SaveInstaller("unquoted.exe", vtt::MakeInstaller(files, vtt::SamplePatch()));
  ASSERT_TRUE(vtd::StartRaw(path_, "unquoted.exe", &program_));
  vtd::MessageBoxView view = CloseMessageBox();
  EXPECT_EQ(view.text, kDataError);
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(NewWorkDirs().empty());
}

// Runs in the default locale and again with LC_ALL=de_DE.UTF-8 (see CMakeLists.txt); the
// installer inherits the test's language.
TEST_F(StartupTest, LanguageSectionOfTheUserReplacesMessageAndCaption) {
  char own[8], other[8];
  LANGID language = GetUserDefaultLangID();
  if (const char* expected = std::getenv("VT_EXPECT_LANGID"))
    ASSERT_EQ(language, LANGID(std::strtoul(expected, nullptr, 16)));
  snprintf(own, sizeof own, "$%04X", language);
  // The same primary language with another sublanguage does not match.
  snprintf(other, sizeof other, "$%04X", LANGID(language ^ 0x0C00));
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  vtt::SetFile(&files, "Language.ini",
               std::string("[") + other + "]\r\nID206=Wrong section\r\nID200=Wrong\r\n[" + own +
                   "]\r\nID206=Daten defekt!\\nBitte neu laden.\r\nID200=Vantrel Deutsch\r\n");
  // Block 2 is damaged, so the message comes after Language.ini was unpacked.
  Bytes broken = vtt::Block({{"Patch.dat", vtt::SamplePatch()}});
  broken[8] = 'X';
  Run("language.exe", vtt::StubWith(vtt::Cat(vtt::Block(files), broken)));
  vtd::MessageBoxView view = CloseMessageBox();
  EXPECT_EQ(view.text, "Daten defekt!\nBitte neu laden.");
  EXPECT_EQ(view.caption, "Vantrel Deutsch");
  EXPECT_EQ(view.icon, vtd::Icon::kStop);
  EXPECT_EQ(vtd::WaitExit(&program_, kTimeout), 0);
  EXPECT_TRUE(NewWorkDirs().empty());
}

}  // namespace
