// Geometry values of the framework: a rectangle in pixels.
#pragma once

namespace platform {

// Origin (x, y) and size (width, height); y counts down from the first row of the image.
struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
};

} // namespace platform
