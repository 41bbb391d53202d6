#pragma once

// Saving the whole volume into one byte buffer and rebuilding a volume from
// such a buffer. The layout lives in SnapshotFormat.h.

#include <cstdint>

#include "fusion/Kelvane.h"
#include "output/SnapshotFormat.h"
#include "volume/Outcome.h"
#include "volume/Placement.h"
#include "volume/Volume.h"

namespace fusion {

// Fills `stream` (data allocated here, owned by the stream's holder from
// then on). On failure the stream is left with no data and size 0.
Outcome saveSnapshot(const Volume& volume, int threads, RealTimeByteStream& stream);

// Checks a stream before anything is changed: missing stream, then size,
// magic, size field, trailer, record count, load count and resolution.
Outcome validateSnapshot(const RealTimeByteStream* stream, snapshot::StreamHeader& header);

// Re-inserts a validated stream's records into a cleared volume whose
// resolution is the stream's and whose point pool was grown for them.
void loadSnapshotRecords(Volume& volume, const PlacementRules& rules, int threads,
                         const uint8_t* data, const snapshot::StreamHeader& header);

}  // namespace fusion
