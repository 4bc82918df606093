#include "core/gateway.h"

#include "core/journal_log.h"
#include "core/store_face.h"

namespace velkd {

LineWorker* Plant::At(size_t index, const std::string& name) const {
  return index < lines.size() && lines[index]->name() == name ? lines[index].get() : nullptr;
}

LineWorker* Plant::Find(const std::string& name) const {
  const auto found = byName.find(name);
  return found == byName.end() ? nullptr : lines[found->second].get();
}

Gateway::~Gateway() { Stop(); }

void Gateway::AttachStore(StoreFace& store) {
  store_ = &store;
  Attach(store);
}

bool Gateway::PrepareLines(const GatewayConfig& config, const std::string& port,
                           std::vector<std::shared_ptr<LineWorker>>* lines) {
  for (const LineFile& lineFile : config.lines) {
    auto line = std::make_shared<LineWorker>(std::make_shared<const LineFile>(lineFile), port, library_);
    std::string error;
    if (!line->Prepare(&error)) {
      Log(kError, "line %s: %s", lineFile.name.c_str(), error.c_str());
      return false;
    }
    lines->push_back(std::move(line));
  }
  return true;
}

void Gateway::Follow(LineWorker& line) {
  const std::vector<Face*> faces = faces_;
  line.state().OnPublish([faces](const std::shared_ptr<const LineSnapshot>& snapshot) {
    for (Face* face : faces) face->Changed(snapshot);
  });
}

void Gateway::SetPlant(std::vector<std::shared_ptr<LineWorker>> lines) {
  auto plant = std::make_shared<Plant>();
  plant->lines = std::move(lines);
  for (size_t l = 0; l < plant->lines.size(); ++l) plant->byName[plant->lines[l]->name()] = l;
  std::lock_guard<std::mutex> lock(plantMutex_);
  plant_ = std::move(plant);
}

std::shared_ptr<const Plant> Gateway::plant() const {
  std::lock_guard<std::mutex> lock(plantMutex_);
  return plant_;
}

bool Gateway::Start(const GatewayConfig& config, const std::string& port) {
  std::vector<std::shared_ptr<LineWorker>> lines;
  if (!PrepareLines(config, port, &lines)) return false;
  stopped_ = false;
  for (auto& line : lines) {
    Follow(*line);
    line->Start();
  }
  SetPlant(std::move(lines));
  const size_t count = plant()->lines.size();
  Log(kInfo, "polling %zu line%s", count, count == 1 ? "" : "s");
  return true;
}

bool Gateway::Reload(const GatewayConfig& config, const std::string& port) {
  std::vector<std::shared_ptr<LineWorker>> lines;
  if (!PrepareLines(config, port, &lines)) {
    Log(kError, "reload refused; the lines run on as they were");
    return false;
  }
  std::vector<std::shared_ptr<LineWorker>> old = plant()->lines;
  size_t kept = 0, adopted = 0;
  for (auto& line : lines) {
    for (auto& running : old) {
      if (running == nullptr) continue;
      // A line whose file and port are as they were runs on, its devices
      // online throughout; the one prepared in its place is dropped.
      if (running->SameAs(*line)) {
        line = std::move(running);
        ++kept;
        break;
      }
      // New intervals, tags, faces or back-off on the same modules: the
      // new line takes over the port, the devices' health and the tags'
      // readings, so nothing goes offline and nothing waits to be read.
      if (line->SameModules(*running)) {
        line->TakeOver(*running);
        running.reset();
        Follow(*line);
        line->Start();
        ++adopted;
        break;
      }
    }
  }
  // The faces find the new lines from now on; a face still reading the old
  // list reads lines that stop and say so.
  SetPlant(lines);
  // The other old lines close their ports before the new ones open them.
  std::vector<std::shared_ptr<const LineSnapshot>> gone;
  for (auto& line : old) {
    if (line == nullptr) continue;
    line->Stop("reloading");
    gone.push_back(line->state().Latest());
  }
  old.clear();
  for (auto& line : lines) {
    if (line->running()) continue;
    Follow(*line);
    line->Start();
  }
  const std::shared_ptr<const Plant> now = plant();
  for (Face* face : faces_) face->LinesChanged(*now, gone);
  Log(kInfo, "reloaded: %zu line%s, %zu of them unchanged%s", lines.size(), lines.size() == 1 ? "" : "s", kept,
      adopted == 0 ? "" : (", " + std::to_string(adopted) + " with new settings on the same port").c_str());
  return true;
}

void Gateway::StopWrites() {
  for (auto& line : plant()->lines) line->StopWrites("stopped");
}

void Gateway::Stop() {
  if (stopped_) return;
  stopped_ = true;
  StopWrites();
  for (auto& line : plant()->lines) line->Stop("stopped");
  Log(kInfo, "stopped");
}

bool Gateway::Write(const std::string& line, const std::vector<TagWrite>& writes, const WritesDone& done, size_t* ahead,
                    std::string* reason) {
  const std::shared_ptr<const Plant> now = plant();
  LineWorker* worker = now->Find(line);
  if (worker == nullptr) {
    *reason = "no such line";
    return false;
  }
  return worker->QueueWrites(writes, done, ahead, reason);
}

}  // namespace velkd
