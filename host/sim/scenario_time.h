// Times in a scenario: "YYYY-MM-DDTHH:MM:SS.mmmZ" (the fraction optional),
// UTC, read into the kernel's system time.
#pragma once

#include "sim/strict_json.h"

#include <cstdint>

namespace sim {

int64_t ReadTime(const JsonValue& value);

}  // namespace sim
