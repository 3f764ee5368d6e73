// The stub's decompressor refuses randomised bzip2 blocks (a format only old bzip2 wrote).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "bzlib.h"
#include "format/file_format.h"
#include "tests/wine/driver.h"
#include "tests/wine/test_installers.h"

namespace {

using vtt::Bytes;

const char kDataError[] =
    "Data integrity (CRC) error in data!\nIf you downloaded this file, try to download it again.";
const DWORD kTimeout = 20000;
// The randomised flag follows the stream header "BZh9", the 48-bit block magic and the 32-bit
// block CRC: bit 112 of the stream, the top bit of its byte 14.
const size_t kRandomisedByte = vt::kBlockHeaderSize + 14;

// Decompresses a block's stream with the full libbzip2, as bzip2 itself would.
bool StockDecompress(const Bytes& block, size_t rawSize, Bytes* raw) {
  raw->assign(rawSize, 0);
  unsigned int produced = unsigned(rawSize);
  Bytes stream(block.begin() + vt::kBlockHeaderSize, block.end());
  int result = BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(raw->data()), &produced,
                                          reinterpret_cast<char*>(stream.data()),
                                          unsigned(stream.size()), 0, 0);
  raw->resize(produced);
  return result == BZ_OK;
}

TEST(Bzip2RandomisedTest, RandomisedSetupBlockShowsDataErrorAndLeavesNothing) {
  // Randomisation first changes a byte at about offset 618 of the block's data, so a block
  // this small means the same bytes randomised or not, with the same CRC.
  std::vector<vt::PayloadFile> files = vtt::SampleSetupFiles();
  files.resize(1);
  ASSERT_EQ(files[0].name, "Update.ini");
  vtt::SetFile(&files, "Update.ini", "[App]\r\nAppName=Randomised\r\nShowSplash=0\r\n");
  Bytes records = vt::SerializeRecords(files);
  Bytes plain = vtt::Block(records);
  ASSERT_EQ(plain[kRandomisedByte] & 0x80, 0);
  Bytes randomised = plain;
  randomised[kRandomisedByte] |= 0x80;
  // Full libbzip2 accepts the crafted stream, so only the stub's refusal makes it an error.
  Bytes raw;
  ASSERT_TRUE(StockDecompress(randomised, records.size(), &raw));
  ASSERT_EQ(raw, records);
  Bytes block2 = vtt::Block({{"Patch.dat", vtt::SamplePatch()}});

  // Without the flag the same block is unpacked and the wizard comes up.
  std::vector<std::string> before = vtd::TempDirs("VTA");
  vtd::Program program;
  {
    std::string path = vtt::SaveInstaller("plain.exe", vtt::StubWith(vtt::Cat(plain, block2)));
    ASSERT_TRUE(vtd::Start(path, &program));
    EXPECT_TRUE(vtd::CancelSetup(program.pid, IDYES, kTimeout));
    EXPECT_EQ(vtd::WaitExit(&program, kTimeout), 0);
    vtd::Kill(&program);
    EXPECT_TRUE(vtd::NewTempDirs(before, "VTA").empty());
  }

  std::string path =
      vtt::SaveInstaller("randomised.exe", vtt::StubWith(vtt::Cat(randomised, block2)));
  ASSERT_TRUE(vtd::Start(path, &program));
  HWND box = vtd::WaitForWindow(program.pid, "#32770", kTimeout);
  EXPECT_TRUE(box) << "no message box appeared";
  if (box) {
    vtd::MessageBoxView view;
    vtd::ReadMessageBox(box, &view);
    EXPECT_EQ(view.text, kDataError);
    EXPECT_EQ(view.icon, vtd::Icon::kStop);
    EXPECT_TRUE(vtd::PressButton(box, IDOK));
  }
  EXPECT_EQ(vtd::WaitExit(&program, kTimeout), 0);
  vtd::Kill(&program);
  EXPECT_TRUE(vtd::NewTempDirs(before, "VTA").empty());
}

}  // namespace
