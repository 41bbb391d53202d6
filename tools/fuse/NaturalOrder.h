#pragma once

// File-name ordering that reads digit runs as numbers, so frame_2.ply comes
// before frame_10.ply, as a person numbering frames expects.

#include <string>

namespace kelvane_fuse {

// True when `a` sorts before `b`. Digit runs compare by value (leading zeros
// ignored); other characters compare case-insensitively. Ties are settled by
// fewer leading zeros, then by plain byte order, so the ordering is strict.
bool naturalLess(const std::string& a, const std::string& b);

}  // namespace kelvane_fuse
