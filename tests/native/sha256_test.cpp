// SHA-256, which `vantrel --version` prints for the stub: the standard's check values, whose
// lengths reach every way the last block is padded.
#include "cli/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace vt {
namespace {

TEST(Sha256, GivesTheStandardsCheckValues) {
  const std::pair<std::string, const char*> kCases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits behind the marker, so a second block follows.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [text, digest] : kCases)
    EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size()), digest)
        << text.size() << " bytes";
}

}  // namespace
}  // namespace vt
