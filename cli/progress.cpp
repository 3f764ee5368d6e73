// Progress output on stderr: a bar on a terminal, plain lines otherwise.
#include "cli/progress.h"

#include "cli/console.h"

#include <stdio.h>

namespace vt {
namespace {

const uint64_t kLinesFrom = 16 << 20;

}  // namespace

Progress::Progress(const std::string& label) : label_(label), terminal_(IsTerminal(2)) {}

Progress::~Progress() {
  if (terminal_ && shown_ >= 0) fputc('\n', stderr);
}

void Progress::Update(uint64_t done, uint64_t total) {
  const int percent = total ? int(done * 100 / total) : 100;
  if (terminal_) {
    if (percent == shown_) return;
    shown_ = percent;
    const int width = 30, filled = percent * width / 100;
    fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label_.c_str(), filled,
            "##############################", width - filled, "", percent);
  } else {
    if (total < kLinesFrom) return;
    const int tenth = percent / 10;
    if (tenth == shown_) return;
    shown_ = tenth;
    fprintf(stderr, "%s: %d%%\n", label_.c_str(), tenth * 10);
  }
  fflush(stderr);
}

void Progress::Callback(void* context, uint64_t done, uint64_t total) {
  static_cast<Progress*>(context)->Update(done, total);
}

}  // namespace vt
