#include "tests/image_util.h"

#include <gtest/gtest.h>
#include <png.h>

namespace fastlic::testing {

DecodedImage decodePng(const std::string& file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        ADD_FAILURE() << "libpng: " << image.message;
        return {};
    }
    DecodedImage out;
    out.channels = (image.format & PNG_FORMAT_FLAG_ALPHA) ? 4 : 3;
    image.format = out.channels == 4 ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    out.rows = static_cast<std::int32_t>(image.height);
    out.cols = static_cast<std::int32_t>(image.width);
    out.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
        ADD_FAILURE() << "libpng: " << image.message;
        return {};
    }
    return out;
}

}  // namespace fastlic::testing
