// CRC-32 throughput next to a plain read of the same buffer, in and out of the caches.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <vector>

#include "patch/crc32.h"

namespace {

typedef std::chrono::steady_clock Clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The plain read: every 64-bit word, summed, as fast as the compiler makes it.
uint64_t ReadAll(const uint8_t* data, size_t size) {
  const uint64_t* words = reinterpret_cast<const uint64_t*>(data);
  uint64_t sum = 0;
  for (size_t i = 0; i < size / 8; ++i) sum += words[i];
  return sum;
}

// Best of `rounds` passes over `total` bytes in buffers of `size`, in GB/s.
template <typename F>
double Best(size_t size, size_t total, int rounds, F pass) {
  double best = 1e9;
  for (int r = 0; r < rounds; ++r) {
    Clock::time_point start = Clock::now();
    for (size_t done = 0; done < total; done += size) pass();
    double s = Seconds(start);
    if (s < best) best = s;
  }
  return double(total) / best / 1e9;
}

void Measure(const char* label, const std::vector<uint8_t>& buffer, size_t total) {
  volatile uint64_t sink = 0;
  double read = Best(buffer.size(), total, 5, [&] { sink = sink + ReadAll(buffer.data(), buffer.size()); });
  double crc = Best(buffer.size(), total, 5, [&] { sink = sink + vt::CrcBytes(buffer.data(), buffer.size()); });
  printf("%-22s read %6.2f GB/s   crc %6.2f GB/s   crc/read %.2f\n", label, read, crc,
         crc / read);
}

}  // namespace

int main() {
  vt::BuildCrcTable();
  std::vector<uint8_t> big(size_t(256) << 20);
  uint32_t x = 2463534242u;
  for (auto& b : big) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = uint8_t(x);
  }
  std::vector<uint8_t> small(big.begin(), big.begin() + (256 << 10));
  Measure("256 MiB (memory)", big, big.size());
  Measure("256 KiB (cache)", small, big.size());
  return 0;
}
