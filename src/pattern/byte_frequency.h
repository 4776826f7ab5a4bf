#pragma once

#include <array>
#include <cstdint>

namespace bytrove {

// Typical relative frequency of each byte value in files; larger is more common. Used only to
// choose the order in which a pattern's bytes are verified (rarest first).
extern const std::array<std::int16_t, 256> byte_frequency;

}  // namespace bytrove
