// The bzip2 library built without stdio (the Windows build) reports an internal fault through
// this hook; the tool ends with a one-line error instead of printing nothing.
#include <stdio.h>
#include <stdlib.h>

extern "C" void bz_internal_error(int code) {
  fprintf(stderr, "vantrel: internal error %d in the bzip2 library\n", code);
  exit(1);
}
