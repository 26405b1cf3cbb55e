// Dialog units: the font-relative grid that the dialogs are laid out in, so
// that they keep their proportions at any font size or screen density. A
// horizontal unit is a quarter of the dialog font's average character width,
// a vertical unit an eighth of its height.
#pragma once

namespace sevrane::ui {

// A rectangle in dialog units, or in pixels once converted.
struct DialogRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const DialogRect&) const = default;
};

// The dialog font's measures in pixels.
struct DialogBaseUnits {
    int x = 0;  // average character width
    int y = 0;  // character height
};

// The average character width as the platform takes it: the width of the 52
// letters A-Z and a-z, over 52, rounded to the nearest pixel.
int AverageCharWidth(int widthOfAlphabet) noexcept;

// Converts each edge (left, top, right, bottom) to pixels, rounding to the
// nearest, so that neighbouring controls stay flush after conversion.
DialogRect ToPixels(const DialogRect& units, const DialogBaseUnits& base) noexcept;

}  // namespace sevrane::ui
