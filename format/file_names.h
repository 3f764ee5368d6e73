/* The file names that the engine, the tool and the stub's string table (strings 113 and 114,
   never localised) share. Plain macros, because the resource script includes this file too. */
#ifndef VANTREL_FORMAT_FILE_NAMES_H
#define VANTREL_FORMAT_FILE_NAMES_H

#define VT_PATCH_FILE_NAME "Patch.dat"
#define VT_RESULT_LOG_NAME "Vantrel.log"

#endif /* VANTREL_FORMAT_FILE_NAMES_H */
