// Log lines of the ResultLog.
#include "patch/result_log.h"

#include <string.h>

namespace vt {

uint32_t LogMessageId(EntryResult result) {
  switch (result) {
    case kInstalled: return 251;
    case kUpdated: return 250;
    case kOverwritten: return 252;
    case kOriginalMissing: return 255;
    case kOriginalCrcError: return 256;
    case kAlreadyUpdated: return 259;
    case kDataError: return 258;
    // The old content is back in place once the run has rolled back.
    case kUpdatedCrcError:
    case kRestoreFailed: return 257;
    case kAccessDenied:
    case kReplaceDenied:
    default: return 260;
  }
}

bool WriteLogLine(FsFile log, const char* path, const char* message) {
  if (log == kNoFile) return true;
  if (!path) path = "";
  if (path[0] == '\\') ++path;
  const char* const parts[] = {path, " -> ", message};
  // The usual line is one write; a longer one (a long path or a long translated message) goes
  // out in parts rather than being cut. No control byte is the second byte of a double-byte
  // character, so each one can go alone.
  char line[512];
  size_t used = 0;
  bool written = true;
  for (const char* part : parts) {
    for (const char* p = part; *p != 0; ++p) {
      if (used + 2 == sizeof line) {
        written = FsWrite(log, line, uint32_t(used)) && written;
        used = 0;
      }
      const unsigned char c = static_cast<unsigned char>(*p);
      line[used++] = c < 32 || c == 127 ? '?' : char(c);
    }
  }
  line[used++] = '\r';
  line[used++] = '\n';
  return FsWrite(log, line, uint32_t(used)) && written;
}

}  // namespace vt
