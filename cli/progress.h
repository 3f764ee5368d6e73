// Progress output for long commands: a bar redrawn in place on a terminal, a plain line every
// tenth of the work otherwise (for work of 16 MiB or more, so that logs of small jobs stay
// quiet), both on stderr so that stdout keeps only results.
#ifndef VANTREL_CLI_PROGRESS_H
#define VANTREL_CLI_PROGRESS_H

#include <stdint.h>

#include <string>

namespace vt {

class Progress {
 public:
  explicit Progress(const std::string& label);
  ~Progress();  // ends a bar's line

  void Update(uint64_t done, uint64_t total);

  // A DiffProgress-shaped callback; context is a Progress.
  static void Callback(void* context, uint64_t done, uint64_t total);

 private:
  std::string label_;
  bool terminal_;
  int shown_ = -1;  // last percentage (terminal) or tenth (lines) printed
};

}  // namespace vt

#endif  // VANTREL_CLI_PROGRESS_H
