// The engine's options as rows (base/options.h): the method's shape, how
// the field is sampled, and what lies beyond its edges. The console and
// Python take their names, checks, help and messages from here.
#pragma once

#include "base/options.h"
#include "engine/lic.h"

namespace fastlic {

// filter-half-length, slide-steps, hit-limit, step, iterations: what
// LicParams::validate checks, in its words.
const options::Table<LicParams>& methodOptions();
// orientation, interpolation.
const options::Table<LicParams>& samplingOptions();
// boundary: "periodic" or "closed" for both axes, or "rows=B,cols=B".
const options::Table<LicParams>& boundaryOptions();

}  // namespace fastlic
