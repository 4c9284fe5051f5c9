#pragma once

// Layout values are kept in twips, as the window was designed: 15 twips to a pixel.
namespace twips {

constexpr int perPixel = 15;
// Frame the window adds on the left and on the right of its client area.
constexpr int sideFrame = 45;
constexpr int narrowWidth = 9855;
constexpr int wideWidth = 13290;
constexpr int clientHeight = 6120;

constexpr int toPixels(int value)
{
    return (value * 2 + perPixel) / (perPixel * 2);
}

// Client width in pixels for an outer window width in twips.
constexpr int clientPixels(int outerWidth)
{
    return toPixels(outerWidth - 2 * sideFrame);
}

} // namespace twips
