// The image options as rows (base/options.h), in the order they are
// checked: contrast, colour scale, colour source, shading, colour bar. The
// console and Python take their names, checks, help and messages from here.
#pragma once

#include "base/options.h"
#include "render/render.h"

namespace fastlic {

// color-by takes magnitude, none, or a scalar given as data: on the console
// a .npy file (which sets ColorBy::scalar), in Python an array passed
// beside the options.
const options::Table<RenderOptions>& imageOptions();

}  // namespace fastlic
