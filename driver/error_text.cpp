// Placeholder until error texts are built.
#include "driver/velk4000_pro.h"
namespace driver {
const char* CVelk4000Pro::GetErrorText() { return nullptr; }
}  // namespace driver
