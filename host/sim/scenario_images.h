// The image objects of a scenario: machine.images, machine.module_list_growth
// and the loads of an image-load event.
#pragma once

#include "sim/strict_json.h"

#include "model/loaded_images.h"
#include "model/machine.h"

namespace sim {

// Reads an image object. zeroSize: a size of 0 is allowed (an event's load
// that lists nothing). Unknown keys are left for the caller's reader when
// reader is given; otherwise rejected here.
model::ImageSpec ReadImage(JsonObject& reader, const JsonValue& value, bool zeroSize);

// Reads one load of an image-load event.
model::ImageLoad ReadImageLoad(const JsonValue& value, const model::MachineConfig& machine);

// Fails on the value unless the images lie apart from each other.
void CheckImagesApart(const std::vector<std::pair<model::ImageSpec, JsonValue>>& images);

}  // namespace sim
