// One simulated module on the bus: its type, its address, whether it uses
// checksums, and the faults it shows. The three kinds (the "Velk" modules,
// the Data7810 and the Data7210 display) answer in their own files.
//
// Thread safety: the server's thread calls Answer while a test or a viewer
// reads or changes the module's registers from another thread; every module
// guards its state with its own mutex, so each public call is safe from any
// thread.
#ifndef VELK_SIM_MODULE_H
#define VELK_SIM_MODULE_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/faults.h"

namespace sim {

enum class ModuleKind { kVelk, kData7810, kData7210 };

// What the bus tells a module about the moment a line arrives.
struct LineContext {
  uint32_t nowMs = 0;  // milliseconds since the bus started (value sources)
  // True when another module of the bus already answers at that address.
  std::function<bool(uint8_t)> addressTaken;
};

class Module {
 public:
  virtual ~Module() = default;
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  ModuleKind kind() const { return kind_; }
  // The type name as configured, e.g. "Velk4017" or "Data7210".
  const std::string& typeName() const { return typeName_; }
  // A Data7810 can be given a new address over the line.
  uint8_t address() const { return address_.load(); }
  bool checksum() const { return checksum_; }

  Faults faults() const;
  void SetFaults(const Faults& faults);

  // Handles one line whose positions 1 and 2 carry this module's address;
  // `line` is without its carriage return. Sets `answer` to the complete
  // answer (checksum when the module uses one, carriage return) or leaves
  // it empty to stay silent; `note` tells a viewer what happened when it is
  // not a plain answer ("unknown command", "bad checksum", ...).
  virtual void Answer(const std::string& line, const LineContext& context, std::string* answer, std::string* note) = 0;

  // A broadcast line ("#**" with or without checksum), never answered.
  virtual void Broadcast(const std::string& line, const LineContext& context);

  // One line describing the module's present state, for a live view.
  virtual std::string Summary(uint32_t nowMs) const = 0;

 protected:
  Module(ModuleKind kind, std::string typeName, uint8_t address, bool checksum);
  void SetAddress(uint8_t address) { address_.store(address); }

  mutable std::mutex mutex_;

 private:
  const ModuleKind kind_;
  const std::string typeName_;
  std::atomic<uint8_t> address_;
  const bool checksum_;
  mutable std::mutex faultsMutex_;
  Faults faults_;
};

// Creates the module of a type name (any of the "Velk" types, "Data7810",
// "Data7210"; case ignored). Returns null with a message for an unknown type
// or a Data type asked to use checksums.
std::unique_ptr<Module> MakeModule(const std::string& typeName, uint8_t address, bool checksum, std::string* error);

// Every type name MakeModule knows, in the spelling used in messages.
const std::vector<std::string>& KnownModuleTypes();

}  // namespace sim

#endif
