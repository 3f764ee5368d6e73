// Files and folders made anew, never taken over: private scratch folders under the system's
// temporary folder and files created only where nothing is. One file per platform implements it.
#ifndef VANTREL_BUILDER_NEW_FILES_H
#define VANTREL_BUILDER_NEW_FILES_H

#include <stdio.h>

#include <string>

namespace vt {

// Makes a new folder only this call created, under the system's temporary folder, named
// `prefix` and a unique suffix. False when none could be made.
bool MakeScratchDir(const char* prefix, std::string* path);

// Creates `path` for binary writing only when nothing is there, not even a link, which is left
// alone. Null with *err set (an errno value, EEXIST when the name is taken) otherwise.
FILE* CreateNewFile(const std::string& path, int* err);

// This process's id, to make names that other processes do not pick.
unsigned long ProcessId();

}  // namespace vt

#endif  // VANTREL_BUILDER_NEW_FILES_H
