// The pool tag of every block the hypervisor state restoration allocates
// (the recorded state, the per-processor table, a broadcast's DPC array).
#pragma once

#include "driver/kernel.h"

// 'Xvir' as a pool dump shows it.
constexpr ULONG HypervisorPoolTag = 0x72697658;
