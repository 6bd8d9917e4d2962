#pragma once
// The process's own figures, as the kernel shows them in /proc.
#include "core/status.h"

namespace skytether {

ProcessFigures ReadProcessFigures();

}  // namespace skytether
