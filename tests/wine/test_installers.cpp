// Installers for the Windows-side tests.
#include "tests/wine/test_installers.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "format/file_format.h"
#include "tests/wine/driver.h"

// libbzip2 is built without stdio here; an internal error is a library fault, not a test result.
extern "C" void bz_internal_error(int code) {
  std::fprintf(stderr, "bzip2 internal error %d\n", code);
  std::abort();
}

namespace vtt {

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes ReadFileBytes(const std::string& path) {
  Bytes bytes;
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) return bytes;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(in);
  return bytes;
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && ok;
}

namespace {

std::string SamplePath(const char* name) {
  return vtd::FromUnixPath(VT_SAMPLES_DIR) + "\\" + name;
}

}  // namespace

std::vector<vt::PayloadFile> SampleSetupFiles() {
  std::vector<vt::PayloadFile> files;
  for (const char* name :
       {"Update.ini", "License.txt", "Guide.txt", "Readme.txt", "Package.bmp", "Splash.bmp"})
    files.push_back({name, ReadFileBytes(SamplePath(name))});
  return files;
}

Bytes SamplePatch() { return ReadFileBytes(vtd::FromUnixPath(VT_TEST_PATCH)); }

void SetFile(std::vector<vt::PayloadFile>* files, const std::string& name, const std::string& text) {
  for (vt::PayloadFile& file : *files) {
    if (file.name == name) {
      file.data = ToBytes(text);
      return;
    }
  }
  files->push_back({name, ToBytes(text)});
}

void RemoveFile(std::vector<vt::PayloadFile>* files, const std::string& name) {
  for (size_t i = 0; i < files->size(); ++i)
    if ((*files)[i].name == name) files->erase(files->begin() + long(i));
}

Bytes StubWith(const Bytes& payload) {
  Bytes image = ReadFileBytes(vtd::FromUnixPath(VT_STUB_PATH));
  image.resize(kTierStubSize, 0);
  image.insert(image.end(), payload.begin(), payload.end());
  return image;
}

Bytes MakeInstaller(const std::vector<vt::PayloadFile>& setupFiles, const Bytes& patch) {
  Bytes installer;
  std::string error;
  // A bench may name another build's padded stub of the tier, to set the two side by side.
  const char* stub = getenv("VANTREL_TEST_STUB");
  if (!vt::BuildInstaller(ReadFileBytes(vtd::FromUnixPath(stub && *stub ? stub : VT_STUB_PATH)),
                          setupFiles, patch, &installer, &error))
    std::fprintf(stderr, "MakeInstaller: %s\n", error.c_str());
  return installer;
}

Bytes Block(const Bytes& raw, int blockSize) {
  Bytes stream, block;
  std::string error;
  vt::CompressBlock(raw, blockSize, &stream, &error);
  vt::AppendBlock(&block, uint32_t(raw.size()), stream);
  return block;
}

Bytes Block(const std::vector<vt::PayloadFile>& files, int blockSize) {
  return Block(vt::SerializeRecords(files), blockSize);
}

std::string ScratchDir() {
  static std::string dir;
  if (dir.empty()) {
    dir = vtd::TempPath() + "vantrel-tests";
    CreateDirectoryA(dir.c_str(), nullptr);
  }
  return dir;
}

std::string SaveInstaller(const std::string& name, const Bytes& installer) {
  std::string path = ScratchDir() + "\\" + name;
  WriteFileBytes(path, installer);
  return path;
}

std::string ArtefactsDir() {
  std::string dir = vtd::FromUnixPath(VT_ARTEFACTS_DIR);
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

}  // namespace vtt
