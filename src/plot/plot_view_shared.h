#pragma once

// What the plot view's files share: the left margin that holds the values, the windows a zoom
// stays within, and the steps of the grid and its labels.
namespace plotshared {

constexpr int LeftMargin = 64;
constexpr double MinWindow = 1;
constexpr double MaxWindow = 600;

// A round step near span / count: 1, 2 or 5 times a power of ten.
[[nodiscard]] double niceStep(double span, int count);

} // namespace plotshared
