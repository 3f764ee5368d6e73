// SHA-256 of a byte string, so `vantrel --version` can name the exact stub it uses.
#ifndef VANTREL_CLI_SHA256_H
#define VANTREL_CLI_SHA256_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace vt {

// The SHA-256 digest of `size` bytes at `data`, as 64 lower-case hex digits (as sha256sum
// prints it).
std::string Sha256Hex(const uint8_t* data, size_t size);

}  // namespace vt

#endif  // VANTREL_CLI_SHA256_H
