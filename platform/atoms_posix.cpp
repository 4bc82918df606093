// A process-wide atom table with the behaviour of the Windows global atom
// table: one number per text (compared without case), numbers from 0xC000,
// reference counted. Hosts on POSIX turn atoms back into text through the
// exported GlobalGetAtomNameA and free them with GlobalDeleteAtom. Nothing
// here lets an exception out: a full table or no memory is a 0 result.
#include <string.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/atoms.h"
#include "platform/export.h"

namespace platform {
namespace {

const uint16_t kFirstAtom = 0xC000;
const size_t kMaxAtoms = 0x4000;  // 0xC000..0xFFFF
const size_t kMaxAtomText = 255;

struct AtomEntry {
  std::string text;
  std::string key;          // the text in lower case, as `byKey` holds it
  uint32_t references = 0;  // 0: the slot is free
};

// Entries by slot, found by their text in any case through `byKey`: a host
// reads strings all the time, and the table may hold thousands.
struct AtomTable {
  std::mutex mutex;
  std::vector<AtomEntry> entries;
  std::unordered_map<std::string, size_t> byKey;
  std::vector<size_t> freeSlots;
};

AtomTable& Table() {
  static AtomTable table;
  return table;
}

// Texts compare without regard to ASCII case, as on Windows.
std::string KeyOf(const char* text, size_t length) {
  std::string key(text, length);
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

}  // namespace

uint16_t AddGlobalAtom(const char* text) try {
  if (text == nullptr) return 0;
  const size_t length = strnlen(text, kMaxAtomText + 1);
  if (length == 0 || length > kMaxAtomText) return 0;
  std::string stored(text, length);
  std::string key = KeyOf(text, length);
  AtomTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto found = table.byKey.find(key);
  if (found != table.byKey.end()) {
    AtomEntry& e = table.entries[found->second];
    if (e.references < 0xFFFFFFFFu) ++e.references;
    return static_cast<uint16_t>(kFirstAtom + found->second);
  }
  // Everything that may run out of memory happens before the table changes
  // for good, so a failure leaves it as it was.
  const bool reuse = !table.freeSlots.empty();
  if (!reuse && table.entries.size() >= kMaxAtoms) return 0;  // full: 0 is no atom
  const size_t slot = reuse ? table.freeSlots.back() : table.entries.size();
  if (!reuse) table.entries.emplace_back();
  try {
    table.byKey.emplace(key, slot);
  } catch (...) {
    if (!reuse) table.entries.pop_back();
    throw;
  }
  if (reuse) table.freeSlots.pop_back();
  AtomEntry& e = table.entries[slot];
  e.text.swap(stored);
  e.key.swap(key);
  e.references = 1;
  return static_cast<uint16_t>(kFirstAtom + slot);
} catch (...) { return 0; }

uint16_t DeleteGlobalAtom(uint16_t atom) try {
  if (atom < kFirstAtom) return atom;
  AtomTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  const size_t index = atom - kFirstAtom;
  if (index >= table.entries.size() || table.entries[index].references == 0) return atom;
  AtomEntry& e = table.entries[index];
  if (e.references > 1) {
    --e.references;
    return 0;
  }
  table.freeSlots.push_back(index);  // first: the one step that may fail
  table.byKey.erase(e.key);
  e.text.clear();
  e.key.clear();
  e.references = 0;
  return 0;
} catch (...) { return atom; }

int GetGlobalAtomName(uint16_t atom, char* buffer, int size) try {
  if (buffer == nullptr || size <= 0 || atom < kFirstAtom) return 0;
  AtomTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  const size_t index = atom - kFirstAtom;
  if (index >= table.entries.size() || table.entries[index].references == 0) return 0;
  const std::string& text = table.entries[index].text;
  const size_t n = text.size() < static_cast<size_t>(size - 1) ? text.size() : static_cast<size_t>(size - 1);
  memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
} catch (...) { return 0; }

}  // namespace platform

extern "C" {

VELK_EXPORT uint16_t GlobalAddAtomA(const char* text) { return platform::AddGlobalAtom(text); }

VELK_EXPORT uint16_t GlobalDeleteAtom(uint16_t atom) { return platform::DeleteGlobalAtom(atom); }

VELK_EXPORT int GlobalGetAtomNameA(uint16_t atom, char* buffer, int size) {
  return platform::GetGlobalAtomName(atom, buffer, size);
}

}  // extern "C"
