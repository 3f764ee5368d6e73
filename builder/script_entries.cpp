// Listing a script's entries through the engine's own reader.
#include "builder/script_entries.h"

#include "format/file_format.h"
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
    entry.split = facts.split;
    entry.from = facts.source != nullptr;
    if (entry.from) entry.source = facts.source;
    if (facts.split) {
      entry.addsEnd = cursor.adds.at;
      entry.literalsEnd = cursor.literals.at;
    }
    listing->entries.push_back(entry);
  }
  // The engine sizes the literal stream when it finds the streams, at the first split body.
  if (cursor.literals.size == 0) {
    listing->trailing = cursor.size - cursor.at;
    return listing->trailing == 0;
  }
  // The engine found the streams where the trailer put them; the add stream's length is the
  // trailer's first field. A whole script's entries end where it starts, and its split bodies
  // take every byte of both streams.
  listing->streams = true;
  listing->trailer = cursor.literals.size;
  listing->literalStream = cursor.adds.size;
  listing->addStream = cursor.adds.size - ReadLe32(script.data() + listing->trailer);
  size_t adds = listing->addStream, literals = listing->literalStream;
  for (ScriptEntry& entry : listing->entries) {
    if (!entry.split) continue;
    entry.addsBegin = adds;
    entry.literalsBegin = literals;
    adds = entry.addsEnd;
    literals = entry.literalsEnd;
  }
  listing->trailing = (cursor.adds.size - cursor.adds.at) +
                      (cursor.literals.size - cursor.literals.at) +
                      (listing->addStream > cursor.at ? listing->addStream - cursor.at : 0);
  return listing->trailing == 0 && cursor.at == listing->addStream;
}

}  // namespace vt
