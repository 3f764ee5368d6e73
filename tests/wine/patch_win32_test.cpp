// The patch engine over its Win32 file layer: the worked example, the share-mode and attribute
// refusals only Windows has, and whole runs with their rollback and BackupDir removal.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "patch/apply_entry.h"
#include "patch/crc32.h"
#include "patch/fs.h"
#include "patch/patch_run.h"
#include "patch/result_log.h"
#include "tests/common/script_builder.h"
#include "tests/wine/driver.h"
#include "tests/wine/test_installers.h"
#include "wizard/patch_worker.h"

namespace {

using vtt::Bytes;
using vtt::Crc;
using vtt::Script;

// The progress bar's messages (commctrl.h's PBM_SETRANGE and PBM_SETPOS).
const UINT kProgressSetRange = WM_USER + 1;
const UINT kProgressSetPos = WM_USER + 2;

// An update entry that keeps the old content and appends `tail`.
Script& AppendTail(Script& script, const std::string& path, const std::string& old,
                   const std::string& tail) {
  return script.Entry(Crc(old), Crc(old + tail), path)
      .Copy(uint32_t(old.size()), 0)
      .Insert(tail)
      .End();
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadText(const std::string& path) {
  Bytes bytes = vtt::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Names in `dir` that start with `prefix`.
std::vector<std::string> Named(const std::string& dir, const char* prefix) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((dir + "\\" + prefix + "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.push_back(found.cFileName);
  while (FindNextFileA(find, &found));
  FindClose(find);
  return names;
}

// The Unix name of a Windows path (Wine's own kernel32 export).
std::string UnixName(const std::string& path) {
  typedef char*(CDECL * ToUnix)(const WCHAR*);
  const ToUnix toUnix = reinterpret_cast<ToUnix>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name"));
  WCHAR wide[MAX_PATH];
  if (!toUnix || !MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH)) return "";
  char* unix = toUnix(wide);
  std::string name = unix ? unix : "";
  HeapFree(GetProcessHeap(), 0, unix);
  return name;
}

// True when the listing of its folder shows `path` (a link whose target is gone too).
bool Listed(const std::string& path) {
  WIN32_FIND_DATAA found;
  const HANDLE find = FindFirstFileA(path.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

// Runs `command` (no quotes in it) in a Unix shell and awaits a reparse point at `awaited`, or
// with `gone` nothing there, for a few seconds at most: Wine starts Unix programs but cannot
// wait for their end. Wine programs see a Unix symbolic link to a folder as a reparse point,
// and can neither make nor remove one.
bool UnixShell(const std::string& command, const std::string& awaited, bool gone = false) {
  std::string line = "/bin/sh -c \"" + command + "\"";
  STARTUPINFOA start = {};
  start.cb = sizeof start;
  PROCESS_INFORMATION process;
  if (!CreateProcessA("Z:\\bin\\sh", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &start, &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int i = 0; i < 500; ++i) {
    const DWORD attributes = GetFileAttributesA(awaited.c_str());
    if (gone ? !Listed(awaited)
             : attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return true;
    Sleep(10);
  }
  return false;
}

// Puts a link at `link` to the folder `target`.
bool MakeFolderLink(const std::string& target, const std::string& link) {
  return UnixShell("ln -s " + UnixName(target) + " " + UnixName(link), link);
}

// Hands an open handle over to a suspended child process, so that another process holds it.
class OtherProcessHolds {
 public:
  explicit OtherProcessHolds(HANDLE file) {
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    char command[] = "cmd.exe";
    created_ = CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                              nullptr, nullptr, &start, &process_) != 0;
    HANDLE remote;
    moved_ = created_ && DuplicateHandle(GetCurrentProcess(), file, process_.hProcess, &remote, 0,
                                         FALSE, DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE);
  }
  ~OtherProcessHolds() {
    if (!created_) return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, 5000);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  bool holding() const { return moved_; }

 private:
  PROCESS_INFORMATION process_ = {};
  bool created_ = false;
  bool moved_ = false;
};

class PatchWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    vt::BuildCrcTable();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dest_ = vtt::ScratchDir() + "\\patch-" + info->name();
    RemoveTree(dest_);
    ASSERT_TRUE(CreateDirectoryA(dest_.c_str(), nullptr));
    backup_ = dest_ + "\\BAKtest.tmp";
  }
  void TearDown() override {
    vt::FsReleaseFolders();
    RemoveTree(dest_);
  }

  static void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        std::string path = dir + "\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
          RemoveLink(path);
        } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(path);
        } else {
          SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileA(path.c_str());
        }
      } while (FindNextFileA(find, &found));
      FindClose(find);
    }
    RemoveDirectoryA(dir.c_str());
  }

  // A link to a folder goes as itself, never its target's files.
  static void RemoveLink(const std::string& path) {
    if (Listed(path)) UnixShell("rm " + UnixName(path), path, true);
  }

  void Put(const std::string& name, const std::string& text) {
    ASSERT_TRUE(vtt::WriteFileBytes(dest_ + "\\" + name, vtt::ToBytes(text)));
  }

  vt::EntryResult Apply(const Bytes& entry) {
    vt::ApplyContext context = {dest_.c_str(), backup_.c_str(), {nullptr, nullptr}};
    Bytes script = {1, 0, 0, 0};
    script.insert(script.end(), entry.begin(), entry.end());
    uint32_t count;
    vt::ScriptCursor cursor;
    EXPECT_TRUE(vt::BeginScript(script.data(), script.size(), &count, &cursor));
    vt::EntryResult result = vt::ApplyEntry(context, &cursor, nullptr);
    if (result != vt::kDataError) EXPECT_EQ(cursor.at, script.size());
    return result;
  }
  // Applies the script's first entry.
  vt::EntryResult Apply(const Script& script) {
    return Apply(Bytes(script.bytes().begin() + 4, script.bytes().end()));
  }

  std::string dest_, backup_;
};

TEST_F(PatchWin32Test, WorkedExampleAppliesByteForByte) {
  Put("a.txt", "abc");
  const uint8_t kEntry[40] = {0x73, 0xBB, 0x8C, 0x64, 0xFA, 0xD2, 0x5A, 0xEB, 0x5C, 0x61,
                              0x2E, 0x74, 0x78, 0x74, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x58,
                              0x01, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Apply(Bytes(kEntry, kEntry + 40)), vt::kUpdated);
  EXPECT_EQ(ReadText(dest_ + "\\a.txt"), "abXc");
  EXPECT_EQ(ReadText(backup_ + "\\a.txt"), "abc");
  EXPECT_TRUE(Named(dest_, "PCH").empty());
}

// The rebuild gathers pieces into buffers of 64 KiB and writes a copy of that size or more
// straight from the old file: short copies, inserts and adds that fill several buffers, with
// one long copy between, must land byte for byte and in order.
TEST_F(PatchWin32Test, ManySmallOperationsAroundALongCopyLandInOrder) {
  std::string old(200000, 0);
  uint32_t x = 12345;
  for (char& c : old) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 24);
  }
  Put("big.bin", old);
  vtt::Script script;
  std::string built;
  std::vector<std::function<void(vtt::Script&)>> ops;
  for (uint32_t i = 0; i < 12000; ++i) {
    const uint32_t at = (i * 7919u) % (uint32_t(old.size()) - 40);
    if (i == 6000) {  // the long copy, between stretches of about two buffers each
      ops.push_back([](vtt::Script& s) { s.Copy(100000, 50000); });
      built += old.substr(50000, 100000);
    } else if (i % 3 == 0) {
      ops.push_back([](vtt::Script& s) { s.Insert("ins"); });
      built += "ins";
    } else if (i % 3 == 1) {
      ops.push_back([at](vtt::Script& s) { s.Copy(37, at); });
      built += old.substr(at, 37);
    } else {
      ops.push_back([at](vtt::Script& s) { s.Add(at, std::string(21, '\x01')); });
      for (uint32_t k = 0; k < 21; ++k) built += char(old[at + k] + 1);
    }
  }
  script.Entry(Crc(old), Crc(built), "\\big.bin");
  for (const auto& op : ops) op(script);
  script.End();
  EXPECT_EQ(Apply(script), vt::kUpdated);
  EXPECT_TRUE(ReadText(dest_ + "\\big.bin") == built);
}

// An old file up to the size of the rebuild's buffers is read into one, a larger one mapped:
// on either side of that line, and empty, it is checked and copied whole.
TEST_F(PatchWin32Test, OldFilesReadOrMappedRebuildWhole) {
  for (const size_t size : {size_t(0), size_t(65536), size_t(65537)}) {
    std::string old(size, 0);
    for (size_t i = 0; i < size; ++i) old[i] = char(i * 131 + i / 256);
    Put("old.bin", old);
    vtt::Script script;
    script.Entry(Crc(old), Crc(old + "tail"), "\\old.bin");
    if (size != 0) script.Copy(uint32_t(size), 0);
    script.Insert("tail");
    script.End();
    EXPECT_EQ(Apply(script), vt::kUpdated) << size;
    EXPECT_TRUE(ReadText(dest_ + "\\old.bin") == old + "tail") << size;
  }
}

// A run's backup folder is made where it just gave up a reserved name: a folder that took the
// name in between is not taken for it, while making a path's parents still accepts them.
TEST_F(PatchWin32Test, MakeDirTakesOnlyAFolderItMade) {
  const std::string made = dest_ + "\\made";
  EXPECT_TRUE(vt::FsMakeDir(made.c_str()));
  EXPECT_FALSE(vt::FsMakeDir(made.c_str()));
  EXPECT_TRUE(vt::FsMakeParentDirs((made + "\\file.txt").c_str()));
  EXPECT_TRUE(vt::FsMakeParentDirs((made + "\\sub\\file.txt").c_str()));
  const DWORD sub = GetFileAttributesA((made + "\\sub").c_str());
  EXPECT_TRUE(sub != INVALID_FILE_ATTRIBUTES && (sub & FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(PatchWin32Test, ReadOnlyOldFileIsAccessDeniedWithoutBackup) {
  Put("ro.txt", "old");
  ASSERT_TRUE(SetFileAttributesA((dest_ + "\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  // Wine run as root opens read-only files for writing all the same (root bypasses the mode
  // bits), so the refusal can be seen only when the process is not privileged.
  HANDLE probe = CreateFileA((dest_ + "\\ro.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    GTEST_SKIP() << "this process may write read-only files (Wine run as root)";
  }
  Script script;
  EXPECT_EQ(Apply(AppendTail(script, "\\ro.txt", "old", "+new")), vt::kAccessDenied);
  EXPECT_EQ(ReadText(dest_ + "\\ro.txt"), "old");
  EXPECT_FALSE(Exists(backup_ + "\\ro.txt"));
  EXPECT_TRUE(Named(dest_, "PCH").empty());
}

TEST_F(PatchWin32Test, FileAnotherProcessHoldsIsAccessDenied) {
  Put("held.txt", "old");
  // Even a handle that shares everything keeps out the engine's exclusive open.
  HANDLE file = CreateFileA((dest_ + "\\held.txt").c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  OtherProcessHolds holder(file);
  ASSERT_TRUE(holder.holding());
  Script script;
  EXPECT_EQ(Apply(AppendTail(script, "\\held.txt", "old", "+new")), vt::kAccessDenied);
  EXPECT_EQ(ReadText(dest_ + "\\held.txt"), "old");
  EXPECT_FALSE(Exists(backup_ + "\\held.txt"));
}

// A file at the first temporary name (left over, or a link planted there) is left alone: the
// rebuilt file takes the next name.
TEST_F(PatchWin32Test, TemporaryFileNeverOpensANameThatExists) {
  char taken[MAX_PATH];
  ASSERT_TRUE(GetTempFileNameA(dest_.c_str(), "PCH", 1, taken));
  ASSERT_TRUE(vtt::WriteFileBytes(taken, vtt::ToBytes("mine")));
  Put("a.txt", "old");
  Script script;
  EXPECT_EQ(Apply(AppendTail(script, "\\a.txt", "old", "+new")), vt::kUpdated);
  EXPECT_EQ(ReadText(dest_ + "\\a.txt"), "old+new");
  EXPECT_EQ(ReadText(taken), "mine");
  EXPECT_EQ(Named(dest_, "PCH").size(), 1u);
}

// Opens the old file once the engine has let go of it: the temporary file appears while the
// engine holds the old file exclusively, and opening succeeds right after it closes it, unless
// the engine has moved the old file into BackupDir first.
struct LateOpener {
  std::string dest, target;
  volatile LONG stop = 0;
  HANDLE held = INVALID_HANDLE_VALUE;

  static DWORD WINAPI Run(void* context) {
    LateOpener* self = static_cast<LateOpener*>(context);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    while (!self->stop && Named(self->dest, "PCH").empty()) Sleep(0);
    while (!self->stop && self->held == INVALID_HANDLE_VALUE)
      self->held = CreateFileA(self->target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    return 0;
  }
};

// Someone opens the old file between the engine's check and its replacement: the engine cannot
// move it away, keeps it with a backup copy, and leaves no temporary file. The opening must
// fall between the engine closing the old file and moving it, a short moment: the test tries a
// few times and checks every outcome, and needs the opener to be in time once.
TEST_F(PatchWin32Test, OldFileThatCannotBeDeletedIsReplaceDenied) {
  const std::string old(16 << 20, 'o');
  int denied = 0;
  for (int attempt = 0; attempt < 8 && denied == 0; ++attempt) {
    RemoveTree(backup_);
    Put("big.bin", old);
    LateOpener opener;
    opener.dest = dest_;
    opener.target = dest_ + "\\big.bin";
    HANDLE thread = CreateThread(nullptr, 0, LateOpener::Run, &opener, 0, nullptr);
    ASSERT_TRUE(thread);
    Script script;
    vt::EntryResult result = Apply(AppendTail(script, "\\big.bin", old, "tail"));
    opener.stop = 1;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    if (opener.held != INVALID_HANDLE_VALUE) CloseHandle(opener.held);
    EXPECT_TRUE(Named(dest_, "PCH").empty());
    EXPECT_TRUE(ReadText(backup_ + "\\big.bin") == old);
    if (result == vt::kReplaceDenied) {
      ++denied;
      EXPECT_TRUE(ReadText(opener.target) == old);
    } else {
      EXPECT_EQ(result, vt::kUpdated);
      EXPECT_TRUE(ReadText(opener.target) == old + "tail");
    }
  }
  EXPECT_EQ(denied, 1) << "the opener never came between the check and the replacement";
}

// Below a held root every folder of a call is held for it and looked at first: a link to an
// outside folder in place of one is never followed, and neither the root nor a folder that the
// last call held can be renamed meanwhile (by this process as by any other Windows process).
TEST_F(PatchWin32Test, HeldRootLeadsThroughNoLinkAndKeepsItsFoldersInPlace) {
  const std::string outside = dest_ + "-outside", linked = dest_ + "\\linked\\victim.txt";
  RemoveTree(outside);
  ASSERT_TRUE(CreateDirectoryA(outside.c_str(), nullptr));
  ASSERT_TRUE(vtt::WriteFileBytes(outside + "\\victim.txt", vtt::ToBytes("precious")));
  ASSERT_TRUE(MakeFolderLink(outside, dest_ + "\\linked"));
  ASSERT_TRUE(CreateDirectoryA((dest_ + "\\a").c_str(), nullptr));
  Put("a\\f.txt", "f");
  vt::FsHoldFolders();
  ASSERT_TRUE(vt::FsHoldRoot(dest_.c_str()));
  EXPECT_EQ(vt::FsDeleteFile(linked.c_str()), vt::kFsFailed);
  EXPECT_EQ(vt::FsOpen(linked.c_str(), vt::kFsReadShared, nullptr), vt::kNoFile);
  EXPECT_NE(vt::FsCopyFile((dest_ + "\\a\\f.txt").c_str(), linked.c_str(), true), vt::kFsOk);
  EXPECT_FALSE(vt::FsSetNormalAttributes(linked.c_str()));
  EXPECT_TRUE(vt::FsPathHasLink(linked.c_str(), dest_.size()));
  const std::string below = dest_ + "\\linked\\new\\f";
  EXPECT_FALSE(vt::FsMakeParentDirsUnlessLinked(below.c_str(), dest_.size()));
  EXPECT_EQ(vt::FsDeleteFile((dest_ + "\\a\\f.txt").c_str()), vt::kFsOk);
  EXPECT_FALSE(MoveFileA((dest_ + "\\a").c_str(), (dest_ + "\\b").c_str()));
  EXPECT_FALSE(MoveFileA(dest_.c_str(), (dest_ + "-moved").c_str()));
  // The layer lets a folder go for its own removal.
  EXPECT_TRUE(vt::FsRemoveDir((dest_ + "\\a").c_str()));
  vt::FsReleaseFolders();
  EXPECT_TRUE(MoveFileA(dest_.c_str(), (dest_ + "-moved").c_str()));
  EXPECT_TRUE(MoveFileA((dest_ + "-moved").c_str(), dest_.c_str()));
  EXPECT_EQ(ReadText(outside + "\\victim.txt"), "precious");
  RemoveLink(dest_ + "\\linked");
  RemoveTree(outside);
}

// No write, copy or change of attributes reaches a file through another of its hard links:
// the name in the destination is refused, or replaced by a new file; the file that it shared
// stays as it was, content and attributes.
TEST_F(PatchWin32Test, NothingReachesAFileThroughAnotherOfItsHardLinks) {
  const std::string shared = dest_ + "-shared.txt", link = dest_ + "\\linked.txt";
  const std::string source = dest_ + "\\source.txt";
  Put("source.txt", "copied");
  const struct {
    const char* what;
    DWORD attributes;  // of the shared file
    std::function<bool()> refusedOrReplaced;
  } kCases[] = {
      {"update", FILE_ATTRIBUTE_NORMAL,
       [&] { return vt::FsOpen(link.c_str(), vt::kFsUpdateSoleLink, nullptr) == vt::kNoFile; }},
      {"create", FILE_ATTRIBUTE_NORMAL,
       [&] {
         vt::FsFile file = vt::FsOpen(link.c_str(), vt::kFsCreateAlways, nullptr);
         return file != vt::kNoFile && vt::FsWrite(file, "new", 3) && vt::FsClose(file) &&
                ReadText(link) == "new";
       }},
      {"copy", FILE_ATTRIBUTE_NORMAL,
       [&] {
         // and then over the plain file that the copy made
         return vt::FsCopyFile(source.c_str(), link.c_str(), true) == vt::kFsOk &&
                vt::FsCopyFile(source.c_str(), link.c_str(), true) == vt::kFsOk &&
                ReadText(link) == "copied";
       }},
      {"attributes", FILE_ATTRIBUTE_READONLY,
       [&] { return !vt::FsSetNormalAttributes(link.c_str()); }},
  };
  for (const auto& c : kCases) {
    SetFileAttributesA(shared.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(shared.c_str());
    SetFileAttributesA(link.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(link.c_str());
    ASSERT_TRUE(vtt::WriteFileBytes(shared, vtt::ToBytes("precious")));
    ASSERT_TRUE(SetFileAttributesA(shared.c_str(), c.attributes));
    ASSERT_TRUE(CreateHardLinkA(link.c_str(), shared.c_str(), nullptr)) << c.what;
    EXPECT_TRUE(c.refusedOrReplaced()) << c.what;
    EXPECT_EQ(ReadText(shared), "precious") << c.what;
    EXPECT_EQ(GetFileAttributesA(shared.c_str()) & FILE_ATTRIBUTE_READONLY,
              c.attributes & FILE_ATTRIBUTE_READONLY)
        << c.what;
  }
  SetFileAttributesA(shared.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(shared.c_str());
}

// ---- Whole runs ----------------------------------------------------------------------------

struct Heard {
  std::vector<int32_t> done;
  std::vector<uint32_t> positions;
  std::function<void(int entry)> atEntry;  // called as each entry (0-based) starts
  std::function<void()> atFinish;          // called as the run starts to finish
  int entries = 0;
};

void OnPosition(void* c, uint32_t done) { static_cast<Heard*>(c)->positions.push_back(done); }
void OnEntry(void* c, const char*) {
  Heard* heard = static_cast<Heard*>(c);
  if (heard->atEntry) heard->atEntry(heard->entries);
  ++heard->entries;
}
void OnFinishing(void* c, int32_t) {
  Heard* heard = static_cast<Heard*>(c);
  if (heard->atFinish) heard->atFinish();
}
void OnDone(void* c, int32_t state) { static_cast<Heard*>(c)->done.push_back(state); }
void LoadEnglish(void*, uint32_t id, char* text, uint32_t size) {
  lstrcpynA(text, vt::BuiltInLogMessage(id), int(size));
}

class PatchRunWin32Test : public PatchWin32Test {
 protected:
  int32_t RunScript(const Script& script, const char* mainFile, int keepBackup = 0) {
    scriptPath_ = dest_ + "-Patch.dat";
    EXPECT_TRUE(vtt::WriteFileBytes(scriptPath_, script.bytes()));
    kept_ = dest_ + "\\kept\\";
    vt::RunState run = {};
    run.keepBackup = keepBackup;
    run.destinationDir = dest_.c_str();
    run.keptBackupDir = kept_.c_str();
    run.scriptPath = scriptPath_.c_str();
    run.mainFile = mainFile;
    run.observer = {nullptr, OnPosition, OnEntry, nullptr, OnFinishing, OnDone, &heard_};
    run.loadMessage = LoadEnglish;
    run.state = vt::kRunInProgress;
    const int32_t end = vt::RunPatch(&run, left_);
    DeleteFileA(scriptPath_.c_str());
    return end;
  }

  Heard heard_;
  std::string scriptPath_, kept_;
  char left_[MAX_PATH];
};

TEST_F(PatchRunWin32Test, CompleteRunKeepsBackupsWhenAskedAndRemovesBackupDir) {
  Put("old.txt", "old");
  CreateDirectoryA((dest_ + "\\sub").c_str(), nullptr);
  Put("sub\\upd.txt", "body");
  Script script;
  AppendTail(script.NewFile("\\old.txt", "new"), "\\sub\\upd.txt", "body", " and tail");
  // A backed-up file that became read-only meanwhile goes with BackupDir all the same.
  int madeReadOnly = 0;
  heard_.atEntry = [&](int entry) {
    for (const std::string& bak : Named(dest_, "BAK"))
      if (entry == 1)
        madeReadOnly += SetFileAttributesA((dest_ + "\\" + bak + "\\old.txt").c_str(),
                                           FILE_ATTRIBUTE_READONLY);
  };
  EXPECT_EQ(RunScript(script, "App.exe", 1), vt::kRunInProgress);
  EXPECT_EQ(madeReadOnly, 1);
  EXPECT_EQ(heard_.done, (std::vector<int32_t>{1}));
  EXPECT_EQ(heard_.positions, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(ReadText(dest_ + "\\sub\\upd.txt"), "body and tail");
  EXPECT_EQ(ReadText(kept_ + "old.txt"), "old");
  EXPECT_EQ(ReadText(kept_ + "sub\\upd.txt"), "body");
  EXPECT_EQ(ReadText(dest_ + "\\Vantrel.log"),
            "old.txt -> File existed, and overwritten.\r\n"
            "sub\\upd.txt -> File updated sucessfully!\r\n");
  EXPECT_TRUE(Named(dest_, "BAK").empty());
  EXPECT_TRUE(Named(dest_, "PCH").empty());
}

// More folders than any fixed number of held places: each kept copy lands in its own folder.
TEST_F(PatchRunWin32Test, ManyFoldersAreEachKeptInTheirOwnPlace) {
  Script script;
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) {
    const std::string folder = "lang" + std::to_string(i);
    CreateDirectoryA((dest_ + "\\" + folder).c_str(), nullptr);
    names.push_back(folder + "\\strings.txt");
  }
  names.push_back("main.exe");
  for (const std::string& name : names) {
    Put(name, "old " + name);
    AppendTail(script, "\\" + name, "old " + name, "+new");
  }
  EXPECT_EQ(RunScript(script, "main.exe", 1), vt::kRunInProgress);
  for (const std::string& name : names) {
    EXPECT_EQ(ReadText(kept_ + name), "old " + name) << name;
    EXPECT_EQ(ReadText(dest_ + "\\" + name), "old " + name + "+new") << name;
  }
  EXPECT_TRUE(Named(dest_, "BAK").empty());
}

// Another program that renames the BackupDir as its removal begins, to put a link to a folder
// outside at its name, finds it held: the removal takes the run's own backups and nothing else.
TEST_F(PatchRunWin32Test, BackupDirCannotBeSwappedForALinkAsItIsRemoved) {
  const std::string outside = dest_ + "-outside", standIn = dest_ + "-link";
  RemoveTree(outside);
  RemoveLink(standIn);
  ASSERT_TRUE(CreateDirectoryA(outside.c_str(), nullptr));
  for (char c = 'a'; c <= 'j'; ++c)
    ASSERT_TRUE(vtt::WriteFileBytes(outside + "\\" + c + ".txt", vtt::ToBytes("precious")));
  ASSERT_TRUE(MakeFolderLink(outside, standIn));
  Put("a.txt", "old");
  Script script;
  AppendTail(script, "\\a.txt", "old", "+new");
  int swapped = 0;
  heard_.atFinish = [&] {
    for (const std::string& bak : Named(dest_, "BAK")) {
      const std::string path = dest_ + "\\" + bak;
      if (MoveFileA(path.c_str(), (path + "-away").c_str()) &&
          MoveFileA(standIn.c_str(), path.c_str()))
        ++swapped;
    }
  };
  EXPECT_EQ(RunScript(script, ""), vt::kRunInProgress);
  EXPECT_EQ(swapped, 0);
  for (char c = 'a'; c <= 'j'; ++c)
    EXPECT_EQ(ReadText(outside + "\\" + c + ".txt"), "precious") << c;
  EXPECT_EQ(ReadText(dest_ + "\\a.txt"), "old+new");
  EXPECT_TRUE(Named(dest_, "BAK").empty());
  RemoveLink(standIn);
  RemoveTree(outside);
}

TEST_F(PatchRunWin32Test, MainFileHeldByAnotherProcessFailsAndRollsBack) {
  Put("data.txt", "old data");
  CreateDirectoryA((dest_ + "\\bin").c_str(), nullptr);
  Put("bin\\App.exe", "old app");
  Script script;
  AppendTail(script.NewFile("\\data.txt", "new data"), "\\bin\\App.exe", "old app", "+new")
      .NewFile("\\never.txt", "n");

  HANDLE file = CreateFileA((dest_ + "\\bin\\App.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  {
    OtherProcessHolds holder(file);
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(RunScript(script, "C:\\Program Files\\Pkg\\APP.EXE"), vt::kRunMainFileFailed);
  }
  EXPECT_EQ(heard_.done, (std::vector<int32_t>{-1}));
  EXPECT_EQ(heard_.positions, (std::vector<uint32_t>{1}));
  EXPECT_EQ(ReadText(dest_ + "\\data.txt"), "old data");
  EXPECT_EQ(ReadText(dest_ + "\\bin\\App.exe"), "old app");
  EXPECT_FALSE(Exists(dest_ + "\\never.txt"));
  EXPECT_EQ(ReadText(dest_ + "\\Vantrel.log"),
            "data.txt -> File existed, and overwritten.\r\n"
            "bin\\App.exe -> Access of original file is denied; Skipped.\r\n");
  EXPECT_TRUE(Named(dest_, "BAK").empty());
  EXPECT_EQ(left_[0], 0);
}

// A rollback puts back files that are read-only or hidden by then, and gives each file the
// attributes it had: an overwritten hidden file, an overwritten read-only one (which only a
// process that may write read-only files overwrites; for an ordinary user it stays as it is)
// and an updated hidden one. The same test runs as an unprivileged user.
TEST_F(PatchRunWin32Test, RollbackRestoresReadOnlyAndHiddenFilesWithTheirAttributes) {
  const DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const struct {
    const char* name;
    DWORD attributes;
  } kFiles[] = {{"hidden.txt", FILE_ATTRIBUTE_HIDDEN},
                {"ro.txt", FILE_ATTRIBUTE_READONLY},
                {"upd.txt", FILE_ATTRIBUTE_HIDDEN}};
  for (const auto& file : kFiles) {
    Put(file.name, std::string("old ") + file.name);
    ASSERT_TRUE(SetFileAttributesA((dest_ + "\\" + file.name).c_str(), file.attributes));
  }
  Script script;
  AppendTail(script.NewFile("\\hidden.txt", "new hidden").NewFile("\\ro.txt", "new ro"),
             "\\upd.txt", "old upd.txt", " and new");
  script.Entry(1, 2, "\\x").Op(7).End();  // an unknown op code
  // By the time the run fails, something made every file read-only and hidden.
  heard_.atEntry = [&](int entry) {
    if (entry != 3) return;
    for (const auto& file : kFiles)
      SetFileAttributesA((dest_ + "\\" + file.name).c_str(),
                         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  };
  EXPECT_EQ(RunScript(script, ""), vt::kRunDataError);
  EXPECT_EQ(heard_.done, (std::vector<int32_t>{-2}));
  for (const auto& file : kFiles) {
    const std::string path = dest_ + "\\" + file.name;
    EXPECT_EQ(ReadText(path), std::string("old ") + file.name) << file.name;
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & kKept, file.attributes) << file.name;
  }
  EXPECT_TRUE(Named(dest_, "BAK").empty());
  EXPECT_EQ(left_[0], 0);
}

// ---- A run through the installer's window messages ----------------------------------------

// A stand-in for the Processing dialog: its window and its progress bar record what they are
// sent, in order, while this thread pumps messages as the dialog's modal loop does.
std::vector<std::string> g_received;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  char what[64];
  if (message == kProgressSetRange) {
    wsprintfA(what, "range %d-%d", LOWORD(l), HIWORD(l));
    g_received.push_back(what);
    return 0;
  }
  if (message == kProgressSetPos) {
    wsprintfA(what, "pos %d", int(w));
    g_received.push_back(what);
    return 0;
  }
  if (message == vt::kRunDoneMessage) {
    wsprintfA(what, "done %d %d", int(w), int(l));
    g_received.push_back(what);
    return 0;
  }
  return DefWindowProcA(window, message, w, l);
}

TEST_F(PatchRunWin32Test, RunOnItsThreadTalksToTheDialogBySentMessages) {
  Put("old.txt", "old");
  Script script;
  script.NewFile("\\old.txt", "new").NewFile("\\sub\\last.txt", "last");
  scriptPath_ = dest_ + "-Patch.dat";
  ASSERT_TRUE(vtt::WriteFileBytes(scriptPath_, script.bytes()));

  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = RecordingProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "VantrelRecordingWindow";
  RegisterClassA(&windowClass);
  HWND dialog = CreateWindowA("VantrelRecordingWindow", "", WS_OVERLAPPED, 0, 0, 100, 100,
                              nullptr, nullptr, windowClass.hInstance, nullptr);
  HWND bar = CreateWindowA("VantrelRecordingWindow", "", WS_CHILD, 0, 0, 10, 10, dialog, nullptr,
                           windowClass.hInstance, nullptr);
  HWND label = CreateWindowA("STATIC", "", WS_CHILD, 0, 20, 10, 10, dialog, nullptr,
                             windowClass.hInstance, nullptr);
  ASSERT_TRUE(dialog && bar && label);
  g_received.clear();

  vt::RunWindows windows = {dialog, bar, label};
  vt::RunState run = {};
  run.destinationDir = dest_.c_str();
  run.keptBackupDir = "";
  run.scriptPath = scriptPath_.c_str();
  run.mainFile = "";
  run.loadMessage = LoadEnglish;
  run.state = vt::kRunInProgress;
  vt::ObserveWithWindows(&run, &windows);
  HANDLE worker = CreateThread(nullptr, 0, vt::PatchWorker, &run, 0, nullptr);
  ASSERT_TRUE(worker);
  // The worker waits on each sent message: this thread must keep pumping until it ends.
  DWORD start = GetTickCount();
  while (MsgWaitForMultipleObjects(1, &worker, FALSE, 100, QS_ALLINPUT) != WAIT_OBJECT_0 &&
         GetTickCount() - start < 20000) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  DWORD exitCode = 99;
  GetExitCodeThread(worker, &exitCode);
  CloseHandle(worker);
  DeleteFileA(scriptPath_.c_str());

  EXPECT_EQ(exitCode, 1u);
  EXPECT_EQ(g_received, (std::vector<std::string>{"range 0-2", "pos 1", "pos 2", "done 1 0"}));
  EXPECT_EQ(vtd::WindowText(label), "\\sub\\last.txt");
  EXPECT_EQ(ReadText(dest_ + "\\old.txt"), "new");
  DestroyWindow(dialog);
}

// Under code page 932: a DestinationDir that ends in 表 (95 5C) has no separator yet, so the
// entry's file lands inside it, in folders whose names hold 5C and 7C second bytes.
TEST_F(PatchWin32Test, DestinationEndingInASecondByteBackslashKeepsTheFileInside) {
  if (GetACP() != 932) GTEST_SKIP() << "needs code page 932";
  const std::string dest = dest_ + "\\\x95\x5c";
  ASSERT_TRUE(CreateDirectoryA(dest.c_str(), nullptr));
  const std::string path = "\\\x95\x5c\\\x83\x7c\\a.txt";  // \表\ポ\a.txt
  Script script;
  script.NewFile(path, "x");
  uint32_t count;
  vt::ScriptCursor cursor;
  ASSERT_TRUE(vt::BeginScript(script.bytes().data(), script.bytes().size(), &count, &cursor));
  const vt::ApplyContext context = {dest.c_str(), backup_.c_str(), {nullptr, nullptr}};
  EXPECT_EQ(vt::ApplyEntry(context, &cursor, nullptr), vt::kInstalled);
  EXPECT_EQ(ReadText(dest + path), "x");
  EXPECT_EQ(Named(dest_, "").size(), 3u);  // ".", ".." and DestinationDir: nothing beside it
}

// Windows takes ¹ ² ³ (B9 B2 B3 in code page 1252) for device digits: the engine refuses such
// an entry in the system's own code page, as a data error, which makes nothing. In 932 the same
// bytes are half-width katakana, so there the name is an ordinary file. (Run in both.)
TEST_F(PatchWin32Test, SuperscriptDeviceNamesAreRefusedWhereTheCodePageHoldsThem) {
  const bool western = GetACP() == 1252;
  if (!western && GetACP() != 932) GTEST_SKIP() << "needs code page 1252 or 932";
  for (const char* name : {"COM\xb9", "lpt\xb2.txt", "Com\xb3.a"}) {
    Script script;
    script.NewFile(std::string("\\") + name, "x");
    uint32_t count;
    vt::ScriptCursor cursor;
    ASSERT_TRUE(vt::BeginScript(script.bytes().data(), script.bytes().size(), &count, &cursor));
    const vt::ApplyContext context = {dest_.c_str(), backup_.c_str(), {nullptr, nullptr}};
    EXPECT_EQ(vt::ApplyEntry(context, &cursor, nullptr), western ? vt::kDataError : vt::kInstalled)
        << name;
    if (!western) EXPECT_TRUE(Exists(dest_ + "\\" + name)) << name;
  }
}

}  // namespace
