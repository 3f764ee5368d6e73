// Listing a script's entries through the engine's own reader.
#include "builder/script_entries.h"

#include "patch/apply_entry.h"

namespace vt {

bool ListScriptEntries(const std::vector<uint8_t>& script, ScriptListing* listing) {
  ScriptCursor cursor;
  listing->countRead = BeginScript(script.data(), script.size(), &listing->count, &cursor);
  if (!listing->countRead) return false;
  for (uint32_t i = 0; i < listing->count; ++i) {
    EntryFacts facts;
    const uint32_t start = cursor.at;
    if (!ReadEntry(&cursor, &facts)) return false;
    ScriptEntry entry;
    entry.begin = start;
    entry.end = cursor.at;
    entry.path = facts.path;
    entry.newFile = facts.newFile;
    entry.usesAdd = facts.usesAdd;
    listing->entries.push_back(entry);
  }
  listing->trailing = cursor.size - cursor.at;
  return listing->trailing == 0;
}

}  // namespace vt
