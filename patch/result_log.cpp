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
  static const char kArrow[] = " -> ";
  static const char kLineEnd[] = "\r\n";
  size_t pathLength = strlen(path), messageLength = strlen(message);
  // The usual line is one write; a longer one (a long path or a long translated message)
  // goes out in its parts rather than being cut.
  char line[512];
  if (pathLength + messageLength + 6 <= sizeof line) {
    memcpy(line, path, pathLength);
    memcpy(line + pathLength, kArrow, 4);
    memcpy(line + pathLength + 4, message, messageLength);
    memcpy(line + pathLength + 4 + messageLength, kLineEnd, 2);
    return FsWrite(log, line, uint32_t(pathLength + messageLength + 6));
  }
  return FsWrite(log, path, uint32_t(pathLength)) && FsWrite(log, kArrow, 4) &&
         FsWrite(log, message, uint32_t(messageLength)) && FsWrite(log, kLineEnd, 2);
}

}  // namespace vt
