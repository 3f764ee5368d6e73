// The package's setup files as `vantrel build` puts them into block 1: texts converted into the
// installer's ANSI code page, and the checks of what the installer would trip over.
#ifndef VANTREL_BUILDER_SETUP_FILES_H
#define VANTREL_BUILDER_SETUP_FILES_H

#include <stdint.h>

#include <string>
#include <vector>

namespace vt {

// How a text file is taken: a file that starts with the UTF-8 byte order mark, or that holds
// non-ASCII bytes and is valid UTF-8, is UTF-8 and is converted into the selected code page
// (the mark dropped); any other non-ASCII file is taken to be in the code page already and is
// left as it is once it reads as text of it; plain ASCII stays as it is. False with *error (one
// line naming `name` and the line) when the code page cannot hold a character, the file is
// text of neither, or it is not ASCII and no code page was given.
bool ConvertSetupText(const std::string& name, const std::vector<uint8_t>& bytes,
                      std::vector<uint8_t>* out, std::string* error);

// True for the setup files that are texts: Update.ini, Language.ini and the three .txt files.
bool IsSetupText(const std::string& name);

struct SetupFindings {
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
};

// Checks the converted setup files, by name, against NEW's stored paths (in the code page):
// Update.ini keys the installer does not know and a MainFile that NEW does not hold (warnings:
// a package may rely on a file that users already have), a Package.bmp or Splash.bmp that LoadImage cannot load (an error; 32 bits with
// alpha is a warning: the alpha is dropped), a missing License.txt or Guide.txt (a warning) and
// Language.ini sections that are not "$" and four hex digits (a warning).
void CheckSetupFiles(const std::vector<std::string>& names,
                     const std::vector<std::vector<uint8_t>>& contents,
                     const std::vector<std::string>& newPaths, SetupFindings* findings);

}  // namespace vt

#endif  // VANTREL_BUILDER_SETUP_FILES_H
