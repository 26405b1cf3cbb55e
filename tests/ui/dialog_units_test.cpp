#include "dialog_units.h"

#include <gtest/gtest.h>

#include "dialog_templates.h"

namespace sevrane::ui {
namespace {

// A font 13 pixels high whose letters average 7 pixels.
constexpr DialogBaseUnits kKnownFont{7, 13};

TEST(DialogUnits, AverageCharWidthRoundsToTheNearestPixel)
{
    EXPECT_EQ(AverageCharWidth(364), 7);  // 7.0
    EXPECT_EQ(AverageCharWidth(338), 7);  // 6.5 rounds up
    EXPECT_EQ(AverageCharWidth(337), 6);  // 6.48
}

TEST(DialogUnits, MainDialogInPixelsForAKnownFont)
{
    const DialogRect dialog = ToPixels({0, 0, main_dialog::kWidth, main_dialog::kHeight}, kKnownFont);
    EXPECT_EQ(dialog, (DialogRect{0, 0, 889, 473}));
    // Edges round on their own: 12.25, 107.25, 878.5 and 263.25 pixels.
    EXPECT_EQ(ToPixels(main_dialog::kDisplay, kKnownFont), (DialogRect{12, 107, 867, 156}));
    EXPECT_EQ(ToPixels(main_dialog::kPlay.rect, kKnownFont), (DialogRect{355, 439, 177, 23}));
    EXPECT_EQ(ToPixels(main_dialog::kPitchSlider, kKnownFont), (DialogRect{74, 283, 745, 39}));
}

TEST(DialogUnits, TouchingControlsStayTouching)
{
    // Pitch slider above its captions: the slider's bottom edge is the
    // captions' top edge in units, and so in pixels at any font size.
    for (int width = 4; width < 12; ++width) {
        for (int height = 8; height < 24; ++height) {
            const DialogBaseUnits base{width, height};
            const DialogRect slider = ToPixels(main_dialog::kPitchSlider, base);
            const DialogRect value = ToPixels(main_dialog::kPitchValue, base);
            EXPECT_EQ(slider.y + slider.height, value.y);
        }
    }
}

}  // namespace
}  // namespace sevrane::ui
