// The ResultLog: its name, and one line per applied entry ("path -> message" and CR LF).
#ifndef VANTREL_PATCH_RESULT_LOG_H
#define VANTREL_PATCH_RESULT_LOG_H

#include <stdint.h>

#include "format/file_format.h"
#include "format/log_messages.h"
#include "patch/fs.h"

namespace vt {

// The ResultLog's file name in DestinationDir (string 114, never localised).
// One string for every file that names it.
extern const char kResultLogName[];

// Buffer size, NUL included, of a log message loaded by its string ID.
const uint32_t kLogMessageSize = 260;

// The string IDs of the log messages, from their one list.
#define VT_LOG_ID(name, id, text) name = id,
enum LogMessageIds : uint32_t { VT_LOG_MESSAGES(VT_LOG_ID) };
#undef VT_LOG_ID

// Log messages of the repair of an interrupted run's traces, beyond the entries' own.
const uint32_t kLogRestoredId = IDS_LOG_RESTORED;  // a file put back from a killed run's backups
const uint32_t kLogTraceRemovedId = IDS_LOG_TRACE_REMOVED;  // a killed run's BackupDir, removed
const uint32_t kLogBackupKeptId = IDS_LOG_BACKUP_KEPT;  // kept: not every file could go back
// A path of a BackupDir's journal that leads through a link or breaks the path rules, and the
// BackupDir then left as it is.
const uint32_t kLogNotRestoredId = IDS_LOG_NOT_RESTORED;

// The string ID of the log message for `result` (250 to 260).
uint32_t LogMessageId(EntryResult result);

// The ResultLog while a run writes it. Its lines gather here and reach the file in one write
// when no more fit and when it closes: one call for dozens of entries, not one for each. A run
// that is killed loses at most the gathered lines; the next run empties the log anyway.
struct LogFile {
  FsFile file;  // kNoFile: the log could not be created, and its lines are lost
  uint32_t used;
  char pending[1024];
};

// Adds one line to `log`: `path` without its first character when that is a backslash,
// " -> ", `message`, CR LF. The line is written whole however long path and message are. A
// control byte of path or message (below 32, and 127) is written as '?', so that neither can
// break the line or forge another. A null path is written as an empty one. False when a write
// that this line called for failed.
bool WriteLogLine(LogFile* log, const char* path, const char* message);

// Writes the gathered lines out and closes the file, unless it is kNoFile. False when the
// write failed.
bool CloseLogFile(LogFile* log);

// The English log message of string `id` (250 to 264), for hosts without the installer's
// string table; an empty text for other IDs.
const char* BuiltInLogMessage(uint32_t id);

}  // namespace vt

#endif  // VANTREL_PATCH_RESULT_LOG_H
