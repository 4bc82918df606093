// Layout checks the public header leaves out because a host need not share
// them: the header itself checks every record's offsets on 32-bit targets.
#include "velk4000/velk4000.h"

namespace {

using namespace velk;

// A port handle must fit the host's handle type on every target.
static_assert(sizeof(PortHandle) == sizeof(void*), "PortHandle width");

}  // namespace
