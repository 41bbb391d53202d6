#pragma once

// The messages the live view sends its page over the WebSocket. Each binary
// message is a 36-byte header followed by `count` 36-byte Vertices records
// exactly as the library hands them out (little-endian):
//
//   offset  0  "KLV1"
//           4  uint32 kind: 1 model (replace the mirror), 2 updates (apply
//              in order), 3 final (no records: the final extraction's count
//              and digest, for the page to compare its mirror with)
//           8  int32  frames played        12 int32 frames in the run
//          16  float  frames per second    20 int32 second stages dropped
//          24  uint32 count                28 uint32 view-id digest (final)
//          32  float  voxel edge
//
// The page keeps a table indexed by view id: states 0 and 1 set the entry,
// 255 removes it.

#include <cstdint>
#include <vector>

#include "fuse/LiveView.h"
#include "fusion/Kelvane.h"

namespace kelvane_fuse {

enum class LiveMessageKind : uint32_t { Model = 1, Updates = 2, Final = 3 };

constexpr size_t kLiveHeaderBytes = 36;
constexpr size_t kLiveRecordBytes = sizeof(fusion::Vertices);
static_assert(kLiveRecordBytes == 36, "the page reads 36-byte records");

// Model and Updates carry the records; Final carries none, only `count`
// and the digest of `records`.
std::vector<uint8_t> encodeLiveMessage(LiveMessageKind kind, const fusion::Vertices* records,
                                       int count, const LiveStats& stats);

// A digest of a set of view ids that does not depend on their order: the
// sum of a 32-bit mix of each id. The page computes the same over its table.
uint32_t viewIdDigest(const fusion::Vertices* records, int count);
uint32_t mixViewId(int32_t view_id);

}  // namespace kelvane_fuse
