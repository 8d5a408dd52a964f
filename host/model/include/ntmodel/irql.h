// IRQL.
// A part of the model kernel as the driver sees it; ntmodel/ntmodel.h
// includes every part, in order.
#pragma once

#include "ntmodel/status_codes.h"

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15
