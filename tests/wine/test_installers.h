// Installers for the Windows-side tests, made from the real padded stub and the sample package.
#ifndef VANTREL_TESTS_WINE_TEST_INSTALLERS_H
#define VANTREL_TESTS_WINE_TEST_INSTALLERS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "builder/payload_writer.h"

namespace vtt {

typedef std::vector<uint8_t> Bytes;

// The padded size of this tier's stub (the product's, or the 64-bit build's), set by the build.
const uint32_t kTierStubSize = VT_STUB_SIZE;

inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes ToBytes(const std::string& text);
Bytes ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const Bytes& bytes);

// The sample package's setup files (Update.ini, texts, bitmaps).
std::vector<vt::PayloadFile> SampleSetupFiles();
// A hand-written Patch.dat: the new file \notes.txt, and \a.txt rebuilt from "abc" to "abXc".
Bytes SamplePatch();

// Replaces the file of that name, or adds it.
void SetFile(std::vector<vt::PayloadFile>* files, const std::string& name, const std::string& text);
void RemoveFile(std::vector<vt::PayloadFile>* files, const std::string& name);

// The padded stub followed by the given payload bytes.
Bytes StubWith(const Bytes& payload);

// A whole installer built the way `vantrel pack` builds it.
Bytes MakeInstaller(const std::vector<vt::PayloadFile>& setupFiles, const Bytes& patch);

// One block as the payload holds it: length, stored size, bzip2 stream of the records.
Bytes Block(const Bytes& raw, int blockSize = 9);
Bytes Block(const std::vector<vt::PayloadFile>& files, int blockSize = 9);

// A scratch folder of the test run (created on first use, emptied when the run starts).
std::string ScratchDir();

// Writes the installer into the scratch folder under `name` and returns its Windows path.
std::string SaveInstaller(const std::string& name, const Bytes& installer);

// Where screenshots and other files for a person to look at go.
std::string ArtefactsDir();

}  // namespace vtt

#endif  // VANTREL_TESTS_WINE_TEST_INSTALLERS_H
