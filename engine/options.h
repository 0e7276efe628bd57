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

// An animation: frames of a loop (or one a field of a series), the
// wave's length in streamline steps (0: the filter half length) and
// whether it is steady (Wave), the phase between frames where it is not
// 2 pi / frames, and the rate it plays at.
struct AnimationOptions {
    std::int32_t frames = 0;  // 0: none asked for
    double wavelength = 0.0;
    bool steady = false;
    bool phased = false;
    double phaseStep = 0.0;
    double fps = 25.0;
};

// frames, wavelength, steady, phase-step, fps.
const options::Table<AnimationOptions>& animationOptions();

}  // namespace fastlic
