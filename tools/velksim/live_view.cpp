#include "live_view.h"

#include <stdio.h>

#include <vector>

#include "platform/terminal.h"

namespace velksim {
namespace {

// ANSI: cursor home, clear to the end of the screen; hide and show the cursor.
const char kHome[] = "\x1b[H";
const char kClearBelow[] = "\x1b[J";
const char kClearLine[] = "\x1b[K";
const char kHideCursor[] = "\x1b[?25l";
const char kShowCursor[] = "\x1b[?25h";

std::string Seconds(uint32_t ms) {
  char text[32];
  snprintf(text, sizeof text, "%9.3f", ms / 1000.0);
  return text;
}

std::string Fit(const std::string& text, int columns) {
  if (columns <= 0 || static_cast<int>(text.size()) <= columns) return text;
  return text.substr(0, static_cast<size_t>(columns > 3 ? columns - 3 : 0)) + "...";
}

std::string RecordLine(const sim::CommandRecord& r) {
  std::string line = "[" + Seconds(r.atMs) + "] " + LiveView::Readable(r.command);
  if (!r.answer.empty()) line += "  -> " + LiveView::Readable(r.answer);
  if (!r.note.empty()) line += "  (" + r.note + ")";
  return line;
}

}  // namespace

LiveView::LiveView(const sim::Bus& bus, std::string linePath, bool redraw, FILE* out)
    : bus_(bus), linePath_(std::move(linePath)), redraw_(redraw), out_(out) {
  if (redraw_) fputs(kHideCursor, out_);
}

std::string LiveView::Readable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      text += "<CR>";
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "<%02X>", c);
      text += hex;
    }
  }
  return text;
}

void LiveView::Update() {
  if (redraw_)
    Redraw();
  else
    PrintNew();
  fflush(out_);
}

void LiveView::Finish() {
  if (redraw_) fputs(kShowCursor, out_);
  fflush(out_);
}

void LiveView::PrintNew() {
  for (const sim::CommandRecord& r : bus_.Recent(1000)) {
    if (r.sequence <= printedSequence_) continue;
    printedSequence_ = r.sequence;
    fprintf(out_, "%s\n", RecordLine(r).c_str());
  }
  for (sim::Module* module : bus_.Modules()) {
    if (module->kind() != sim::ModuleKind::kData7210) continue;
    const sim::Data7210Registers r = static_cast<sim::Data7210Display*>(module)->registers();
    if (r.writes == 0) continue;
    auto it = shown_.find(module->address());
    if (it != shown_.end() && it->second == r.shown) continue;
    shown_[module->address()] = r.shown;
    fprintf(out_, "display %02X shows \"%s\"\n", module->address(), r.shown.c_str());
  }
}

void LiveView::Redraw() {
  int columns = 100;
  int rows = 30;
  platform::TerminalSize(&columns, &rows);
  std::vector<std::string> lines;
  const uint32_t now = bus_.NowMs();
  lines.push_back("velksim on " + linePath_ + "   up " + Seconds(now) + " s   " + std::to_string(bus_.CommandCount()) +
                  " commands   Ctrl-C ends");
  lines.push_back("");

  std::vector<sim::Module*> modules = bus_.Modules();
  bool anyDisplay = false;
  for (sim::Module* module : modules) {
    if (module->kind() != sim::ModuleKind::kData7210) continue;
    if (!anyDisplay) lines.push_back("Displays");
    anyDisplay = true;
    const sim::Data7210Registers r = static_cast<sim::Data7210Display*>(module)->registers();
    char line[128];
    snprintf(line, sizeof line, "  %02X  [%8s]%s", module->address(), r.shown.c_str(),
             r.writes == 0 ? "  (nothing received yet)" : "");
    lines.push_back(line);
  }
  if (anyDisplay) lines.push_back("");

  lines.push_back("Modules");
  for (sim::Module* module : modules) {
    if (module->kind() == sim::ModuleKind::kData7210) continue;
    char head[64];
    snprintf(head, sizeof head, "  %02X  %-9s %-3s ", module->address(), module->typeName().c_str(),
             module->checksum() ? "cs" : "");
    std::string line = head + module->Summary(now);
    const sim::Faults faults = module->faults();
    if (faults.any()) line += "   fault " + faults.Describe();
    lines.push_back(line);
  }
  lines.push_back("");
  lines.push_back("Last commands");
  const int room = rows - static_cast<int>(lines.size()) - 1;
  if (room > 0)
    for (const sim::CommandRecord& r : bus_.Recent(static_cast<size_t>(room))) lines.push_back("  " + RecordLine(r));

  fputs(kHome, out_);
  for (const std::string& line : lines) fprintf(out_, "%s%s\n", Fit(line, columns).c_str(), kClearLine);
  fputs(kClearBelow, out_);
}

}  // namespace velksim
