// A patch script's entries as the engine reads them, listed once for every look the builder
// and the commands take at a script: each entry's path and kind, without applying anything.
#ifndef VANTREL_BUILDER_SCRIPT_ENTRIES_H
#define VANTREL_BUILDER_SCRIPT_ENTRIES_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace vt {

struct ScriptEntry {
  std::string path;  // as stored: "\dir\file"
  bool newFile = false;
  bool usesAdd = false;
  bool split = false;  // a split body
  bool from = false;   // a body from another file, its source's stored path in `source`
  std::string source;
  size_t begin = 0, end = 0;  // the entry's bytes in the script
  // A split body's add bytes and literals: where they lie in the script's streams.
  size_t addsBegin = 0, addsEnd = 0, literalsBegin = 0, literalsEnd = 0;
};

struct ScriptListing {
  bool countRead = false;  // the script holds its entry count field
  uint32_t count = 0;      // the entries it says it holds
  // In order, up to the first that the engine refuses to read (ReadEntry); all `count` of them
  // when the script is whole.
  std::vector<ScriptEntry> entries;
  size_t trailing = 0;  // bytes after the last entry (and streams) of a script whose entries
                        // all read
  // A script with split bodies: where its add stream, its literal stream and its trailer start.
  bool streams = false;
  size_t addStream = 0, literalStream = 0, trailer = 0;
};

// Lists `script`'s entries with the engine's ReadEntry. True when the count field and every
// entry read and nothing follows the last one (in a script with split bodies: but the streams,
// whose every byte the entries take, and the trailer).
bool ListScriptEntries(const std::vector<uint8_t>& script, ScriptListing* listing);

}  // namespace vt

#endif  // VANTREL_BUILDER_SCRIPT_ENTRIES_H
