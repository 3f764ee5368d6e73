// Progress output on stderr: a bar on a terminal, nothing otherwise.
#include "cli/progress.h"

#include "cli/console.h"

#include <stdio.h>

namespace vt {

Progress::Progress(const std::string& label) : label_(label), terminal_(IsTerminal(2)) {}

Progress::~Progress() { End(); }

void Progress::End() {
  if (terminal_ && shown_ >= 0) {
    fputc('\n', stderr);
    fflush(stderr);
  }
  shown_ = -1;
}

void Progress::Update(uint64_t done, uint64_t total, const char* unit) {
  if (!terminal_) return;
  const int percent = total ? int(done * 100 / total) : 100;
  // Counts change more often than the percentage; redraw for them too, but not for bytes.
  if (percent == shown_ && (!unit || done == shownDone_)) return;
  shown_ = percent;
  shownDone_ = done;
  const int width = 30, filled = percent * width / 100;
  // One line, one write: stderr is unbuffered, and the count is redrawn for every entry.
  std::string line(label_.size() + 128, '\0');
  int n = snprintf(&line[0], line.size(), "\r%s [%.*s%*s] %3d%%", label_.c_str(), filled,
                   "##############################", width - filled, "", percent);
  if (unit && n > 0 && size_t(n) < line.size())
    n += snprintf(&line[n], line.size() - size_t(n), " %llu/%llu %s",
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                  unit);
  if (n > 0) fwrite(line.data(), 1, size_t(n) < line.size() ? size_t(n) : line.size() - 1, stderr);
  fflush(stderr);
}

void Progress::Callback(void* context, uint64_t done, uint64_t total) {
  static_cast<Progress*>(context)->Update(done, total);
}

}  // namespace vt
