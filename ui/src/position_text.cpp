#include "position_text.h"

#include <algorithm>
#include <cstdio>

namespace sevrane::ui {

std::string TimeText(std::int64_t frames, std::uint32_t sampleRate)
{
    const std::int64_t tenths = sampleRate == 0 ? 0 : std::max<std::int64_t>(frames, 0) * 10 / sampleRate;
    const std::int64_t seconds = tenths / 10;
    const std::int64_t minutes = seconds / 60;
    const std::int64_t hours = minutes / 60;
    // Integers only, so the text reads the same in every locale.
    char text[48];
    if (hours > 0) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%lld", static_cast<long long>(hours),
                      static_cast<long long>(minutes % 60), static_cast<long long>(seconds % 60),
                      static_cast<long long>(tenths % 10));
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld.%lld", static_cast<long long>(minutes),
                      static_cast<long long>(seconds % 60), static_cast<long long>(tenths % 10));
    }
    return text;
}

std::string PositionText(std::int64_t position, std::int64_t frameCount, std::uint32_t sampleRate)
{
    const std::int64_t length = std::max<std::int64_t>(frameCount, 0);
    return TimeText(std::clamp<std::int64_t>(position, 0, length), sampleRate) + " / " + TimeText(length, sampleRate);
}

}  // namespace sevrane::ui
