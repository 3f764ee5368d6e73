// Progress output for long commands: a bar redrawn in place on standard error, drawn only when
// standard error is a terminal, so that a program reading the error stream gets errors alone
// and standard output keeps only results.
#ifndef VANTREL_CLI_PROGRESS_H
#define VANTREL_CLI_PROGRESS_H

#include <stdint.h>

#include <string>

namespace vt {

class Progress {
 public:
  explicit Progress(const std::string& label);
  ~Progress();  // calls End

  // Ends the bar's line, so that what is printed next starts on a line of its own.
  void End();

  // Shows `done` of `total` (items or bytes) as a bar, a percentage and, with `unit`, the
  // counts ("12/40 entries").
  void Update(uint64_t done, uint64_t total, const char* unit = nullptr);

  // A DiffProgress-shaped callback; context is a Progress.
  static void Callback(void* context, uint64_t done, uint64_t total);

 private:
  std::string label_;
  bool terminal_;
  int shown_ = -1;  // the last percentage drawn
  uint64_t shownDone_ = 0;
};

}  // namespace vt

#endif  // VANTREL_CLI_PROGRESS_H
