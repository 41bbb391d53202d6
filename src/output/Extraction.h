#pragma once

// Reading the whole fused cloud. Extraction takes no lock: a frame being
// integrated meanwhile may show old and new values of a record.

#include "fusion/Kelvane.h"
#include "volume/Outcome.h"
#include "volume/Volume.h"

namespace fusion {

// Both forms give the live records in ascending record index, on `threads`
// threads (OpenMP builds), the same output for any number of them.

// The live records as three parallel arrays, each sized for every record in
// use. 1 when an array cannot be allocated.
int extractLivePoints(const Volume& volume, PointRawData& out, int threads = 1);

// The live records as a new Vertices array (state 0, reserved bytes zero),
// allocated at its exact size. Failure 1 with "memory is lacked!" when the
// result cannot be allocated (the count is still set).
Outcome extractLiveVertices(const Volume& volume, Vertices** out, int& count, int threads = 1);

// Bytes an extraction or a save of the current records may need.
unsigned long long requiredExtractionBytes(const Volume& volume);

}  // namespace fusion
