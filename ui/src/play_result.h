// What pressing Play reports, whichever form Player::Play has: the failure
// it returns, or nothing when it returns nothing. Once Player::Play returns
// its std::optional<PlaybackFailure>, the window calls it directly and this
// header goes.
#pragma once

#include <optional>
#include <type_traits>

#include "sevrane/player.h"

namespace sevrane::ui {

template <typename AnyPlayer>
std::optional<PlaybackFailure> PlayResult(AnyPlayer& player)
{
    if constexpr (std::is_void_v<decltype(player.Play())>) {
        player.Play();
        return std::nullopt;
    } else {
        return player.Play();
    }
}

}  // namespace sevrane::ui
