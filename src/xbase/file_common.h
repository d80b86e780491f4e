#pragma once

// What the platform modules share (not for the engine's other code).

#include "xbase/file.h"

namespace xbase::platform {

// The fault-injection hook of setWriteHook, called before every write.
WriteHook& writeHook();

}  // namespace xbase::platform
