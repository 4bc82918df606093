// A process-wide atom table with the behaviour of the Windows global atom
// table: one number per text (compared without case), numbers from 0xC000,
// reference counted. Hosts on POSIX turn atoms back into text through the
// exported GlobalGetAtomNameA.
#include <string.h>

#include <mutex>
#include <string>
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
  uint32_t references = 0;  // 0: the slot is free
};

struct AtomTable {
  std::mutex mutex;
  std::vector<AtomEntry> entries;
};

AtomTable& Table() {
  static AtomTable table;
  return table;
}

bool SameTextIgnoringCase(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

}  // namespace

uint16_t AddGlobalAtom(const char* text) {
  if (text == nullptr) return 0;
  const size_t length = strnlen(text, kMaxAtomText + 1);
  if (length == 0 || length > kMaxAtomText) return 0;
  AtomTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  size_t freeSlot = table.entries.size();
  for (size_t i = 0; i < table.entries.size(); ++i) {
    AtomEntry& e = table.entries[i];
    if (e.references == 0) {
      if (freeSlot == table.entries.size()) freeSlot = i;
      continue;
    }
    if (SameTextIgnoringCase(e.text, text)) {
      if (e.references < 0xFFFFFFFFu) ++e.references;
      return static_cast<uint16_t>(kFirstAtom + i);
    }
  }
  if (freeSlot == table.entries.size()) {
    if (table.entries.size() >= kMaxAtoms) return 0;
    table.entries.emplace_back();
  }
  table.entries[freeSlot].text.assign(text, length);
  table.entries[freeSlot].references = 1;
  return static_cast<uint16_t>(kFirstAtom + freeSlot);
}

int GetGlobalAtomName(uint16_t atom, char* buffer, int size) {
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
}

uint16_t DeleteGlobalAtom(uint16_t atom) {
  if (atom < kFirstAtom) return atom;
  AtomTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  const size_t index = atom - kFirstAtom;
  if (index >= table.entries.size() || table.entries[index].references == 0) return atom;
  if (--table.entries[index].references == 0) table.entries[index].text.clear();
  return 0;
}

}  // namespace platform

extern "C" {

VELK_EXPORT uint16_t GlobalAddAtomA(const char* text) { return platform::AddGlobalAtom(text); }

VELK_EXPORT int GlobalGetAtomNameA(uint16_t atom, char* buffer, int size) {
  return platform::GetGlobalAtomName(atom, buffer, size);
}

VELK_EXPORT uint16_t GlobalDeleteAtom(uint16_t atom) { return platform::DeleteGlobalAtom(atom); }

}  // extern "C"
