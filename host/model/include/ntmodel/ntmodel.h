// The model kernel as the driver sees it: the Windows x64 kernel's names,
// types and layouts, with the routines served by the model library.
//
// Every record here has the real x64 layout (fixed-width integers, 16-bit
// WCHAR, 8-byte pointers), checked by static_assert, so that the shipped
// image can later run against the same model with pointers passed as they
// are. Only what the driver uses is declared.
//
// One header per part, each including the parts before it.
#pragma once

#include "ntmodel/scalar_types.h"
#include "ntmodel/status_codes.h"
#include "ntmodel/irql.h"
#include "ntmodel/records.h"
#include "ntmodel/pool.h"
#include "ntmodel/driver_objects.h"
#include "ntmodel/bugcheck_callbacks.h"
#include "ntmodel/kernel_services.h"
#include "ntmodel/loaded_images.h"
#include "ntmodel/processors.h"
#include "ntmodel/callbacks_work_items.h"
#include "ntmodel/context_unwind.h"
#include "ntmodel/security.h"
