// The vector level: how the environment lowers it, and that transforms and
// engines take it as they are made. tests/CMakeLists.txt runs these once more with
// KELVANE_SIMD=scalar.
#include "simd_level.h"
#include "bin_loops.h"
#include "hartley_transform.h"
#include "test_engine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace kelvane {
namespace {

TEST(SimdLevel, TheEnvironmentOnlyLowersTheLevel)
{
    constexpr SimdLevel scalar = SimdLevel::scalar;
    constexpr SimdLevel sse2 = SimdLevel::sse2;
    constexpr SimdLevel avx2 = SimdLevel::avx2;
    struct Case {
        const char* wanted;
        SimdLevel supported;
        SimdLevel chosen;
    };
    const Case cases[] = {
        {nullptr, avx2, avx2},  {"scalar", avx2, scalar}, {"sse2", avx2, sse2},   {"avx2", avx2, avx2},
        {"avx2", sse2, sse2},   {"sse2", scalar, scalar}, {"avx512", avx2, avx2}, {"", sse2, sse2},
        {"SSE2", avx2, avx2},   {"sse", avx2, avx2},      {"sse2 ", avx2, avx2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wanted == nullptr ? "(unset)" : c.wanted);
        EXPECT_EQ(ChooseSimdLevel(c.wanted, c.supported), c.chosen);
    }
}

TEST(SimdLevel, NewTransformsTakeTheSelectedLevel)
{
    const char* wanted = std::getenv("KELVANE_SIMD");
    const SimdLevel selected = SelectedSimdLevel();
    EXPECT_EQ(selected, ChooseSimdLevel(wanted, SupportedSimdLevel()));
    if (wanted != nullptr && std::string(wanted) == "scalar") {
        EXPECT_EQ(selected, SimdLevel::scalar);
    }
    HartleyTransform transform(1024);
    ASSERT_TRUE(transform.IsPrepared());
    EXPECT_EQ(transform.Level(), selected);
    // An engine's bin loops too; the plain ones are a table of their own.
    test::TestEngine engine(2);
    EXPECT_EQ(engine->binLoops, &BinLoopsFor(selected));
    EXPECT_EQ(engine->binLoops == &BinLoopsFor(SimdLevel::scalar), selected == SimdLevel::scalar);

    // Asking for more than the processor has gives what it has.
    HartleyTransform widest(1024, SimdLevel::avx2);
    EXPECT_EQ(widest.Level(), SupportedSimdLevel());
#if defined(__x86_64__) && !defined(KELVANE_HARTLEY_SCALAR)
    EXPECT_NE(SupportedSimdLevel(), SimdLevel::scalar);
#endif
}

}  // namespace
}  // namespace kelvane
