// The English log messages of the installer's string table, for the vantrel tool and tests.
#include "patch/result_log.h"

namespace vt {

const char* BuiltInLogMessage(uint32_t id) {
  switch (id) {
    case 250: return "File updated sucessfully!";
    case 251: return "File installed successfully!";
    case 252: return "File existed, and overwritten.";
    case 255: return "Original file not existed; Skipped.";
    case 256: return "Original file CRC error; Skipped.";
    case 257: return "Updated file CRC error; Original file restored.";
    case 258: return "Data file error; Opration canceled!";
    case 259: return "Original file was updated; Skipped.";
    case 260: return "Access of original file is denied; Skipped.";
    case 261: return "Restored after an interrupted setup.";
    case 262: return "Left by an interrupted setup; removed.";
    case 263: return "Not every file could be restored; kept here.";
    case 264: return "A link or a refused name; left as it is.";
    default: return "";
  }
}

}  // namespace vt
