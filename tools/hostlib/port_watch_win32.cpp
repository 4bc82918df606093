#include "port_watch.h"

namespace hostlib {

// A COM port's return is noticed by the retry period alone.
struct PortWatch::Impl {};

PortWatch::PortWatch(const std::string&, std::function<void()>) {}
PortWatch::~PortWatch() = default;
bool PortWatch::watching() const { return false; }

}  // namespace hostlib
