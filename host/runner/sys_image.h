// The shipped vekcrashdmp.sys as a driver image the model kernel can load:
// the same calls the host image answers, executed by the emulated processor.
#pragma once

#include "runner/emulator.h"

#include "model/machine.h"

#include <memory>
#include <string>

namespace runner {

// Loads the image afresh (its own copy of every section), binds its imports
// to the model kernel and returns it; null with one line in error when the
// file is no x64 image or imports something the model lacks.
std::unique_ptr<model::DriverImage> OpenSysImage(const std::string& path, std::string* error);

// A test driver (host/tests/crasher) as the same kind of image, at a base of
// its own beside the driver's, with its imports bound to the same model
// kernel and listed under its file name. Its entry routine is never called:
// a scenario calls what it exports (DriverImage::ExportedRoutine).
std::unique_ptr<model::DriverImage> OpenTestDriver(const std::string& path, std::string* error);

// The quantum of every emulated processor, in basic blocks (0: the default;
// see Emulator::SetQuantum).
void SetQuantum(uint64_t blocks);

// Totals for this process: instructions, kernel calls, driver calls.
const RunnerStats& Stats();

}  // namespace runner
