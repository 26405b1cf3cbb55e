#include "slider_mapping.h"

#include <gtest/gtest.h>

namespace sevrane::ui {
namespace {

struct SpeedRow {
    int position;
    float percent;
    bool reverse;
    const char* label;
};

class SpeedSliderTable : public ::testing::TestWithParam<SpeedRow> {};

TEST_P(SpeedSliderTable, GivesSpeedDirectionAndLabel)
{
    const SpeedRow& row = GetParam();
    const SpeedSetting speed = SpeedFromSlider(row.position);
    EXPECT_NEAR(speed.percent, row.percent, 0.05f);
    EXPECT_EQ(speed.reverse, row.reverse);
    EXPECT_EQ(SpeedLabel(speed), row.label);
}

INSTANTIATE_TEST_SUITE_P(EveryRow, SpeedSliderTable,
                         ::testing::Values(SpeedRow{96, 400.0f, false, "400.0%"},
                                           SpeedRow{48, 200.0f, false, "200.0%"},
                                           SpeedRow{4, 105.9f, false, "105.9%"},
                                           SpeedRow{0, 100.0f, false, "100.0%"},
                                           SpeedRow{-4, 89.1f, false, "89.1%"},
                                           SpeedRow{-24, 50.0f, false, "50.0%"},
                                           SpeedRow{-48, 25.0f, false, "25.0%"},
                                           SpeedRow{-49, 25.7f, true, "-25.7%"},
                                           SpeedRow{-72, 50.0f, true, "-50.0%"},
                                           SpeedRow{-96, 100.0f, true, "-100.0%"}));

TEST(SpeedSlider, RisesLeftToRightForwardAndFallsInTheReverseZone)
{
    for (int p = -48; p < kSliderMaximum; ++p) {
        EXPECT_LT(SpeedFromSlider(p).percent, SpeedFromSlider(p + 1).percent) << "at " << p;
        EXPECT_FALSE(SpeedFromSlider(p).reverse) << "at " << p;
    }
    for (int p = kSliderMinimum; p < -49; ++p) {
        EXPECT_GT(SpeedFromSlider(p).percent, SpeedFromSlider(p + 1).percent) << "at " << p;
        EXPECT_TRUE(SpeedFromSlider(p).reverse) << "at " << p;
    }
    // Never slower than the engine's 25 %, never faster than 400 %.
    for (int p = kSliderMinimum; p <= kSliderMaximum; ++p) {
        EXPECT_GE(SpeedFromSlider(p).percent, 24.99f);
        EXPECT_LE(SpeedFromSlider(p).percent, 400.01f);
    }
}

TEST(PitchSlider, QuarterSemitonesWithLabelsOfFourCharactersOrMore)
{
    EXPECT_EQ(PitchFromSlider(kSliderMinimum), -24.0f);
    EXPECT_EQ(PitchFromSlider(kSliderMaximum), 24.0f);
    EXPECT_EQ(PitchFromSlider(-14), -3.5f);
    EXPECT_EQ(PitchFromSlider(1), 0.25f);
    EXPECT_EQ(PitchLabel(PitchFromSlider(0)), " 0.0");
    EXPECT_EQ(PitchLabel(PitchFromSlider(kSliderMaximum)), "24.0");
    EXPECT_EQ(PitchLabel(PitchFromSlider(kSliderMinimum)), "-24.0");
    EXPECT_EQ(PitchLabel(PitchFromSlider(48)), "12.0");
    EXPECT_EQ(PitchLabel(PitchFromSlider(-14)), "-3.5");
}

}  // namespace
}  // namespace sevrane::ui
