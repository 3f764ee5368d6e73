// The English log messages of the installer's string table, for the vantrel tool and tests.
#include "patch/result_log.h"

namespace vt {

const char* BuiltInLogMessage(uint32_t id) {
#define VT_LOG_CASE(name, id, text) \
  case id:                          \
    return text;
  switch (id) {
    VT_LOG_MESSAGES(VT_LOG_CASE)
    default:
      return "";
  }
#undef VT_LOG_CASE
}

}  // namespace vt
