#pragma once

// Values shared by the neighbourhood walk and its callers.

#include <cstdint>

namespace fusion {

// Frame tag of the confirming walk: no older neighbour seen yet, and older
// neighbours seen from at least two different frames.
constexpr uint32_t kFrameTagNone = 0xFFFFFFFFu;
constexpr uint32_t kFrameTagMixed = 0xFFFFFFFEu;

}  // namespace fusion
