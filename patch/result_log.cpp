// Log lines of the ResultLog.
#include "patch/result_log.h"

#include <string.h>

namespace vt {

const char kResultLogName[] = VT_RESULT_LOG_NAME;

uint32_t LogMessageId(EntryResult result) {
  switch (result) {
    case kInstalled: return IDS_LOG_INSTALLED;
    case kUpdated: return IDS_LOG_UPDATED;
    case kOverwritten: return IDS_LOG_OVERWRITTEN;
    case kOriginalMissing: return IDS_LOG_ORIGINAL_MISSING;
    case kOriginalCrcError: return IDS_LOG_ORIGINAL_CRC;
    case kAlreadyUpdated: return IDS_LOG_ALREADY_UPDATED;
    case kDataError: return IDS_LOG_DATA_ERROR;
    // The old content is back in place once the run has rolled back.
    case kUpdatedCrcError:
    case kRestoreFailed: return IDS_LOG_UPDATED_CRC;
    case kAccessDenied:
    case kReplaceDenied:
    default: return IDS_LOG_ACCESS_DENIED;
  }
}

namespace {

bool WritePending(LogFile* log) {
  const uint32_t used = log->used;
  log->used = 0;
  return used == 0 || FsWrite(log->file, log->pending, used);
}

}  // namespace

bool WriteLogLine(LogFile* log, const char* path, const char* message) {
  if (log->file == kNoFile) return true;
  if (!path) path = "";
  if (path[0] == '\\') ++path;
  const char* const parts[] = {path, " -> ", message};
  // A line longer than what is left (a long path or a long translated message) goes out in
  // parts rather than being cut. No control byte is the second byte of a double-byte
  // character, so each one can go alone.
  bool written = true;
  for (const char* part : parts) {
    for (const char* p = part; *p != 0; ++p) {
      if (log->used + 2 >= sizeof log->pending) written = WritePending(log) && written;
      const unsigned char c = static_cast<unsigned char>(*p);
      log->pending[log->used++] = c < 32 || c == 127 ? '?' : char(c);
    }
  }
  log->pending[log->used++] = '\r';
  log->pending[log->used++] = '\n';
  return written;
}

bool CloseLogFile(LogFile* log) {
  if (log->file == kNoFile) return true;
  const bool written = WritePending(log);
  return FsClose(log->file) && written;
}

}  // namespace vt
