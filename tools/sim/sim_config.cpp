#include "sim/sim_config.h"

#include <stdint.h>

#include <sstream>

namespace sim {
namespace {

// Which module kinds a key of `values` applies to.
enum Applies : uint32_t {
  k4011 = 1u << 0,
  k4017 = 1u << 1,
  k4021 = 1u << 2,
  k4024 = 1u << 3,
  k4051 = 1u << 4,
  k4050 = 1u << 5,
  k4080 = 1u << 6,
  k4015 = 1u << 7,
  kD7810 = 1u << 8,
  kD7210 = 1u << 9,
  kEvery = 0x3FF,
};

uint32_t AppliesOf(const Module& module) {
  switch (module.kind()) {
    case ModuleKind::kData7810: return kD7810;
    case ModuleKind::kData7210: return kD7210;
    case ModuleKind::kVelk: break;
  }
  switch (static_cast<const VelkModule&>(module).family()) {
    case VelkFamily::k4011: return k4011;
    case VelkFamily::k4017: return k4017;
    case VelkFamily::k4021: return k4021;
    case VelkFamily::k4024: return k4024;
    case VelkFamily::k4051: return k4051;
    case VelkFamily::k4050: return k4050;
    case VelkFamily::k4080: return k4080;
    case VelkFamily::k4015: return k4015;
  }
  return 0;
}

// "file:line: " for a node.
std::string Where(const toml::node& node) {
  const toml::source_region& source = node.source();
  std::string where;
  if (source.path && !source.path->empty()) where = *source.path + ":";
  where += std::to_string(source.begin.line) + ": ";
  return where;
}

bool Fail(const toml::node& node, const std::string& message, std::string* error) {
  if (error != nullptr) *error = Where(node) + message;
  return false;
}

bool Number(const toml::node& node, const std::string& what, double* value, std::string* error) {
  if (node.is_integer()) {
    *value = static_cast<double>(node.as_integer()->get());
    return true;
  }
  if (node.is_floating_point()) {
    *value = node.as_floating_point()->get();
    return true;
  }
  return Fail(node, what + " must be a number", error);
}

bool Integer(const toml::node& node, const std::string& what, int64_t low, int64_t high, int64_t* value,
             std::string* error) {
  if (!node.is_integer()) return Fail(node, what + " must be an integer", error);
  *value = node.as_integer()->get();
  if (*value < low || *value > high)
    return Fail(node, what + " must be " + std::to_string(low) + ".." + std::to_string(high), error);
  return true;
}

// The registers the `values` keys write into; only the module's own kind is set.
struct Target {
  uint32_t applies = 0;
  VelkRegisters* velk = nullptr;
  Data7810Registers* d7810 = nullptr;
  Data7210Registers* d7210 = nullptr;
};

// An array of at most `limit` elements, each read by `element(node, index)`.
template <typename Element>
bool ForArray(const toml::node& node, const std::string& what, size_t limit, std::string* error, Element element) {
  const toml::array* array = node.as_array();
  if (array == nullptr) return Fail(node, what + " must be an array", error);
  if (array->size() > limit)
    return Fail(node,
                what + " has " + std::to_string(array->size()) + " entries; this module has " + std::to_string(limit),
                error);
  for (size_t i = 0; i < array->size(); ++i)
    if (!element((*array)[i], i)) return false;
  return true;
}

size_t AnalogInputs(uint32_t applies) { return applies == k4011 ? 1 : applies == k4015 ? 6 : 8; }
size_t AnalogOutputs(uint32_t applies) { return applies == k4021 ? 1 : 4; }

template <typename T, size_t N>
bool NumberArray(const toml::node& node, const std::string& what, size_t limit, std::array<T, N>* values,
                 std::string* error) {
  return ForArray(node, what, std::min(limit, N), error, [&](const toml::node& one, size_t i) {
    double value = 0;
    if (!Number(one, what, &value, error)) return false;
    (*values)[i] = static_cast<T>(value);
    return true;
  });
}

template <size_t N>
bool UnsignedArray(const toml::node& node, const std::string& what, int64_t high, std::array<uint32_t, N>* values,
                   std::string* error) {
  return ForArray(node, what, N, error, [&](const toml::node& one, size_t i) {
    int64_t value = 0;
    if (!Integer(one, what, 0, high, &value, error)) return false;
    (*values)[i] = static_cast<uint32_t>(value);
    return true;
  });
}

template <size_t N>
bool ByteArray(const toml::node& node, const std::string& what, std::array<uint8_t, N>* values, std::string* error) {
  return ForArray(node, what, N, error, [&](const toml::node& one, size_t i) {
    int64_t value = 0;
    if (!Integer(one, what, 0, 255, &value, error)) return false;
    (*values)[i] = static_cast<uint8_t>(value);
    return true;
  });
}

bool Byte(const toml::node& node, const std::string& what, uint8_t* value, std::string* error) {
  int64_t v = 0;
  if (!Integer(node, what, 0, 255, &v, error)) return false;
  *value = static_cast<uint8_t>(v);
  return true;
}

bool ModeDigit(const toml::node& node, const std::string& what, int64_t high, char* mode, std::string* error) {
  int64_t v = 0;
  if (!Integer(node, what, 0, high, &v, error)) return false;
  *mode = static_cast<char>('0' + v);
  return true;
}

typedef bool (*ValueReader)(const toml::node& node, Target& t, std::string* error);

struct ValueKey {
  const char* key;
  uint32_t applies;
  ValueReader read;
};

const ValueKey kValueKeys[] = {
    {"ai", k4011 | k4017 | k4015,
     +[](const toml::node& n, Target& t, std::string* e) {
       return ForArray(n, "ai", AnalogInputs(t.applies), e, [&](const toml::node& one, size_t i) {
         return ValueSourceFromToml(one, &t.velk->analogIn[i], e);
       });
     }},
    {"cjc", k4011 | k4017,
     +[](const toml::node& n, Target& t, std::string* e) { return ValueSourceFromToml(n, &t.velk->coldJunction, e); }},
    {"cjc_offset", k4011 | k4017,
     +[](const toml::node& n, Target& t, std::string* e) {
       int64_t v = 0;
       if (!Integer(n, "cjc_offset", -9999, 9999, &v, e)) return false;
       t.velk->cjcOffset = static_cast<int>(v);
       return true;
     }},
    {"ao", k4021 | k4024,
     +[](const toml::node& n, Target& t, std::string* e) {
       return NumberArray(n, "ao", AnalogOutputs(t.applies), &t.velk->analogOut, e);
     }},
    {"startup_out", k4024,
     +[](const toml::node& n, Target& t, std::string* e) {
       return NumberArray(n, "startup_out", 4, &t.velk->startupOut, e);
     }},
    {"emergency_out", k4024,
     +[](const toml::node& n, Target& t, std::string* e) {
       return NumberArray(n, "emergency_out", 4, &t.velk->emergencyOut, e);
     }},
    {"nc", k4024, +[](const toml::node& n, Target& t, std::string* e) { return ByteArray(n, "nc", &t.velk->nc, e); }},
    {"oc", k4024, +[](const toml::node& n, Target& t, std::string* e) { return ByteArray(n, "oc", &t.velk->oc, e); }},
    {"di", k4024 | k4051 | k4050 | kD7810,
     +[](const toml::node& n, Target& t, std::string* e) {
       const int64_t high = t.applies == k4024 ? 0x0F : t.applies == k4051 ? 0xFFFF : t.applies == kD7810 ? 3 : 0xFF;
       int64_t v = 0;
       if (!Integer(n, "di", 0, high, &v, e)) return false;
       if (t.d7810 != nullptr)
         t.d7810->digitalIn = static_cast<uint8_t>(v);
       else
         t.velk->digitalIn = static_cast<uint32_t>(v);
       return true;
     }},
    {"do", k4011 | k4050 | k4080 | kD7810,
     +[](const toml::node& n, Target& t, std::string* e) {
       int64_t v = 0;
       if (!Integer(n, "do", 0, t.d7810 != nullptr ? 3 : 0xFF, &v, e)) return false;
       if (t.d7810 != nullptr)
         t.d7810->digitalOut = static_cast<uint8_t>(v);
       else
         t.velk->digitalOut = static_cast<uint32_t>(v);
       return true;
     }},
    {"alarm", k4011,
     +[](const toml::node& n, Target& t, std::string* e) {
       const std::string mode = n.value_or(std::string());
       if (mode == "off")
         t.velk->alarmMode = '0';
       else if (mode == "momentary")
         t.velk->alarmMode = 'M';
       else if (mode == "latched")
         t.velk->alarmMode = 'L';
       else
         return Fail(n, "alarm must be \"off\", \"momentary\" or \"latched\"", e);
       return true;
     }},
    {"alarm_high", k4011,
     +[](const toml::node& n, Target& t, std::string* e) { return Number(n, "alarm_high", &t.velk->alarmHigh, e); }},
    {"alarm_low", k4011,
     +[](const toml::node& n, Target& t, std::string* e) { return Number(n, "alarm_low", &t.velk->alarmLow, e); }},
    {"event_counter", k4011,
     +[](const toml::node& n, Target& t, std::string* e) {
       int64_t v = 0;
       if (!Integer(n, "event_counter", 0, 65535, &v, e)) return false;
       t.velk->eventCounter = static_cast<uint32_t>(v);
       return true;
     }},
    {"mp", k4017,
     +[](const toml::node& n, Target& t, std::string* e) { return Byte(n, "mp", &t.velk->multiplexer, e); }},
    {"counter", k4080,
     +[](const toml::node& n, Target& t, std::string* e) {
       return UnsignedArray(n, "counter", 0xFFFFFFFFll, &t.velk->counter, e);
     }},
    {"max_counter", k4080,
     +[](const toml::node& n, Target& t, std::string* e) {
       return UnsignedArray(n, "max_counter", 0xFFFFFFFFll, &t.velk->maxCounter, e);
     }},
    {"initial_counter", k4080,
     +[](const toml::node& n, Target& t, std::string* e) {
       return UnsignedArray(n, "initial_counter", 0xFFFFFFFFll, &t.velk->initialCounter, e);
     }},
    {"alarm_limit", k4080,
     +[](const toml::node& n, Target& t, std::string* e) {
       return UnsignedArray(n, "alarm_limit", 0xFFFFFFFFll, &t.velk->alarmLimit, e);
     }},
    {"count_rate", k4080,
     +[](const toml::node& n, Target& t, std::string* e) {
       return NumberArray(n, "count_rate", 2, &t.velk->countRate, e);
     }},
    {"counting", k4080,
     +[](const toml::node& n, Target& t, std::string* e) {
       return ForArray(n, "counting", 2, e, [&](const toml::node& one, size_t i) {
         if (!one.is_boolean()) return Fail(one, "counting must hold true or false", e);
         t.velk->counting[i] = one.as_boolean()->get();
         return true;
       });
     }},
    {"alarm_enable", k4080,
     +[](const toml::node& n, Target& t, std::string* e) {
       int64_t v = 0;
       if (!Integer(n, "alarm_enable", 0, 3, &v, e)) return false;
       t.velk->alarmEnable = static_cast<uint8_t>(v);
       return true;
     }},
    {"input_mode", k4080,
     +[](const toml::node& n, Target& t, std::string* e) {
       return ModeDigit(n, "input_mode", 1, &t.velk->inputMode, e);
     }},
    {"gate_mode", k4080,
     +[](const toml::node& n, Target& t, std::string* e) {
       return ModeDigit(n, "gate_mode", 2, &t.velk->gateMode, e);
     }},
    {"raw", k4015,
     +[](const toml::node& n, Target& t, std::string* e) {
       int64_t v = 0;
       if (!Integer(n, "raw", -32768, 32767, &v, e)) return false;
       t.velk->rawInput = static_cast<int>(v);
       return true;
     }},
    {"multiplier", k4015,
     +[](const toml::node& n, Target& t, std::string* e) { return Byte(n, "multiplier", &t.velk->multiplier, e); }},
    {"diagnostic", k4015,
     +[](const toml::node& n, Target& t, std::string* e) { return Byte(n, "diagnostic", &t.velk->diagnostic, e); }},
    {"temp", kD7810,
     +[](const toml::node& n, Target& t, std::string* e) {
       return ForArray(n, "temp", 8, e, [&](const toml::node& one, size_t i) {
         if (one.is_string()) {
           if (one.value_or(std::string()) != "invalid")
             return Fail(one, "a temperature is a number, a moving source or \"invalid\"", e);
           t.d7810->temperatureValid[i] = false;
           return true;
         }
         t.d7810->temperatureValid[i] = true;
         return ValueSourceFromToml(one, &t.d7810->temperature[i], e);
       });
     }},
    {"busy_reads", kD7810,
     +[](const toml::node& n, Target& t, std::string* e) {
       int64_t v = 0;
       if (!Integer(n, "busy_reads", 0, 1000000, &v, e)) return false;
       t.d7810->busyReads = static_cast<uint32_t>(v);
       return true;
     }},
    {"baud_code", kEvery,
     +[](const toml::node& n, Target& t, std::string* e) {
       uint8_t v = 0;
       if (!Byte(n, "baud_code", &v, e)) return false;
       if (t.velk != nullptr) t.velk->baudCode = v;
       if (t.d7810 != nullptr) t.d7810->baudCode = v;
       if (t.d7210 != nullptr) t.d7210->baudCode = v;
       return true;
     }},
    {"format", kEvery,
     +[](const toml::node& n, Target& t, std::string* e) {
       uint8_t v = 0;
       if (!Byte(n, "format", &v, e)) return false;
       if (t.velk != nullptr) t.velk->formatCode = v;
       if (t.d7810 != nullptr) t.d7810->formatCode = v;
       if (t.d7210 != nullptr) t.d7210->formatCode = v;
       return true;
     }},
};

bool ReadValues(const toml::table& values, Module* module, std::string* error) {
  Target target;
  target.applies = AppliesOf(*module);
  VelkRegisters velk;
  Data7810Registers d7810;
  Data7210Registers d7210;
  VelkModule* velkModule = module->kind() == ModuleKind::kVelk ? static_cast<VelkModule*>(module) : nullptr;
  Data7810Module* d7810Module =
      module->kind() == ModuleKind::kData7810 ? static_cast<Data7810Module*>(module) : nullptr;
  Data7210Display* d7210Module =
      module->kind() == ModuleKind::kData7210 ? static_cast<Data7210Display*>(module) : nullptr;
  if (velkModule != nullptr) {
    velk = velkModule->registers();
    target.velk = &velk;
  }
  if (d7810Module != nullptr) {
    d7810 = d7810Module->registers();
    target.d7810 = &d7810;
  }
  if (d7210Module != nullptr) {
    d7210 = d7210Module->registers();
    target.d7210 = &d7210;
  }
  for (const auto& [key, node] : values) {
    const ValueKey* row = nullptr;
    for (const ValueKey& candidate : kValueKeys)
      if (key.str() == candidate.key) row = &candidate;
    if (row == nullptr) return Fail(node, "unknown value \"" + std::string(key.str()) + "\"", error);
    if ((row->applies & target.applies) == 0)
      return Fail(node, "value \"" + std::string(key.str()) + "\" does not apply to a " + module->typeName(), error);
    if (!row->read(node, target, error)) return false;
  }
  if (velkModule != nullptr) velkModule->Update([&](VelkRegisters& r) { r = velk; });
  if (d7810Module != nullptr) d7810Module->Update([&](Data7810Registers& r) { r = d7810; });
  if (d7210Module != nullptr) d7210Module->Update([&](Data7210Registers& r) { r = d7210; });
  return true;
}

// The fault table form turned into the text form.
bool FaultText(const toml::node& node, std::string* text, std::string* error) {
  if (node.is_string()) {
    *text = node.value_or(std::string());
    return true;
  }
  const toml::table* table = node.as_table();
  if (table == nullptr) return Fail(node, "fault must be a text such as \"delay=200,silent\" or a table", error);
  text->clear();
  for (const auto& [key, value] : *table) {
    std::string piece(key.str());
    if (value.is_boolean()) {
      if (!value.as_boolean()->get()) continue;
    } else if (value.is_integer()) {
      piece += "=" + std::to_string(value.as_integer()->get());
    } else if (value.is_string()) {
      piece += "=" + value.value_or(std::string());
    } else {
      return Fail(value, "fault " + piece + " must be true/false, a number or a text", error);
    }
    if (!text->empty()) *text += ',';
    *text += piece;
  }
  return true;
}

std::string Text(const toml::node& node) { return node.value_or(std::string()); }

}  // namespace

bool ValueSourceFromToml(const toml::node& node, ValueSource* source, std::string* error) {
  if (node.is_integer() || node.is_floating_point()) {
    double value = 0;
    Number(node, "a value", &value, error);
    *source = ValueSource::Constant(value);
    return true;
  }
  const toml::table* table = node.as_table();
  if (table == nullptr)
    return Fail(node, "a value is a number, { ramp = [from, to] } or { sine = [middle, amplitude] }", error);
  double period = 10.0;
  if (const toml::node* p = table->get("period_s")) {
    if (!Number(*p, "period_s", &period, error)) return false;
    if (!(period > 0)) return Fail(*p, "period_s must be above 0", error);
  }
  const toml::node* ramp = table->get("ramp");
  const toml::node* sine = table->get("sine");
  for (const auto& [key, value] : *table)
    if (key.str() != "ramp" && key.str() != "sine" && key.str() != "period_s")
      return Fail(value, "unknown key \"" + std::string(key.str()) + "\" in a value (ramp, sine, period_s)", error);
  if ((ramp == nullptr) == (sine == nullptr))
    return Fail(node, "a moving value has either ramp = [from, to] or sine = [middle, amplitude]", error);
  const toml::node& pair = ramp != nullptr ? *ramp : *sine;
  const toml::array* array = pair.as_array();
  double first = 0;
  double second = 0;
  if (array == nullptr || array->size() != 2 || !Number((*array)[0], "a ramp or sine bound", &first, error) ||
      !Number((*array)[1], "a ramp or sine bound", &second, error)) {
    if (array == nullptr || array->size() != 2) return Fail(pair, "ramp and sine take two numbers", error);
    return false;
  }
  *source = ramp != nullptr ? ValueSource::Ramp(first, second, period) : ValueSource::Sine(first, second, period);
  return true;
}

bool AddModuleFromToml(const toml::table& entry, Bus* bus, std::string* error) {
  static const char* const kKeys[] = {"address", "type", "checksum", "name", "version", "fault", "values"};
  for (const auto& [key, value] : entry) {
    bool known = false;
    for (const char* k : kKeys) known = known || key.str() == k;
    if (!known)
      return Fail(value,
                  "unknown key \"" + std::string(key.str()) +
                      "\" in a module (address, type, checksum, name, version, fault, values)",
                  error);
  }
  const toml::node* address = entry.get("address");
  const toml::node* type = entry.get("type");
  if (address == nullptr) return Fail(entry, "a module needs an address (0..255)", error);
  if (type == nullptr || !type->is_string()) return Fail(entry, "a module needs a type such as \"Velk4017\"", error);
  int64_t addressValue = 0;
  if (!Integer(*address, "address", 0, 255, &addressValue, error)) return false;
  bool checksum = false;
  if (const toml::node* c = entry.get("checksum")) {
    if (!c->is_boolean()) return Fail(*c, "checksum must be true or false", error);
    checksum = c->as_boolean()->get();
  }
  std::string why;
  std::unique_ptr<Module> module = MakeModule(Text(*type), static_cast<uint8_t>(addressValue), checksum, &why);
  if (!module) return Fail(*type, why, error);

  for (const char* textKey : {"name", "version"}) {
    const toml::node* node = entry.get(textKey);
    if (node == nullptr) continue;
    if (!node->is_string()) return Fail(*node, std::string(textKey) + " must be a text", error);
    const std::string text = Text(*node);
    if (text.find('\r') != std::string::npos)
      return Fail(*node, std::string(textKey) + " must not hold a carriage return", error);
    const bool isName = textKey[0] == 'n';
    if (auto* velk = dynamic_cast<VelkModule*>(module.get()))
      velk->Update([&](VelkRegisters& r) { (isName ? r.name : r.version) = text; });
    if (auto* d7810 = dynamic_cast<Data7810Module*>(module.get()))
      d7810->Update([&](Data7810Registers& r) { (isName ? r.name : r.version) = text; });
    if (auto* d7210 = dynamic_cast<Data7210Display*>(module.get()))
      d7210->Update([&](Data7210Registers& r) { (isName ? r.name : r.version) = text; });
  }
  if (const toml::node* fault = entry.get("fault")) {
    std::string text;
    Faults faults;
    if (!FaultText(*fault, &text, error)) return false;
    if (!ParseFaults(text, &faults, &why)) return Fail(*fault, why, error);
    if (faults.alwaysBusy && module->kind() != ModuleKind::kData7810)
      return Fail(*fault, "always_busy applies to a Data7810 only", error);
    module->SetFaults(faults);
  }
  if (const toml::node* values = entry.get("values")) {
    if (!values->is_table()) return Fail(*values, "values must be a table", error);
    if (!ReadValues(*values->as_table(), module.get(), error)) return false;
  }
  if (!bus->Add(std::move(module), &why)) return Fail(*address, why, error);
  return true;
}

bool AddModulesFromToml(const toml::table& holder, Bus* bus, std::string* error) {
  const toml::node* modules = holder.get("module");
  if (modules == nullptr) return true;
  const toml::array* array = modules->as_array();
  if (array == nullptr) return Fail(*modules, "module must be an array of tables: write [[module]]", error);
  for (const toml::node& entry : *array) {
    if (!entry.is_table()) return Fail(entry, "each module must be a table", error);
    if (!AddModuleFromToml(*entry.as_table(), bus, error)) return false;
  }
  return true;
}

bool AddModulesFromTomlText(const std::string& text, const std::string& sourceName, Bus* bus, std::string* error) {
  try {
    const toml::table root = toml::parse(text, sourceName);
    return AddModulesFromToml(root, bus, error);
  } catch (const toml::parse_error& e) {
    if (error != nullptr) {
      std::ostringstream message;
      message << sourceName << ":" << e.source().begin.line << ": " << e.description();
      *error = message.str();
    }
    return false;
  }
}

}  // namespace sim
