/* The result log's messages, each defined once: its string ID and its English text, for the
   stub's string table (resources/strings.rc, which the resource compiler reads through the C
   preprocessor), the engine and the vantrel tool. Texts are kept exactly, misspellings
   included. X(name, id, text) for each. */
#ifndef VANTREL_FORMAT_LOG_MESSAGES_H
#define VANTREL_FORMAT_LOG_MESSAGES_H

#define VT_LOG_MESSAGES(X)                                                        \
  X(IDS_LOG_UPDATED, 250, "File updated sucessfully!")                            \
  X(IDS_LOG_INSTALLED, 251, "File installed successfully!")                       \
  X(IDS_LOG_OVERWRITTEN, 252, "File existed, and overwritten.")                   \
  X(IDS_LOG_ORIGINAL_MISSING, 255, "Original file not existed; Skipped.")         \
  X(IDS_LOG_ORIGINAL_CRC, 256, "Original file CRC error; Skipped.")               \
  X(IDS_LOG_UPDATED_CRC, 257, "Updated file CRC error; Original file restored.")  \
  X(IDS_LOG_DATA_ERROR, 258, "Data file error; Opration canceled!")              \
  X(IDS_LOG_ALREADY_UPDATED, 259, "Original file was updated; Skipped.")          \
  X(IDS_LOG_ACCESS_DENIED, 260, "Access of original file is denied; Skipped.")    \
  X(IDS_LOG_RESTORED, 261, "Restored after an interrupted setup.")                \
  X(IDS_LOG_TRACE_REMOVED, 262, "Left by an interrupted setup; removed.")         \
  X(IDS_LOG_BACKUP_KEPT, 263, "Not every file could be restored; kept here.")     \
  X(IDS_LOG_NOT_RESTORED, 264, "A link or a refused name; left as it is.")

#endif /* VANTREL_FORMAT_LOG_MESSAGES_H */
