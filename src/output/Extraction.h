#pragma once

// Reading the whole fused cloud. Extraction takes no lock: a frame being
// integrated meanwhile may show old and new values of a record.

#include "fusion/Kelvane.h"
#include "volume/Outcome.h"
#include "volume/Volume.h"

namespace fusion {

// The live records as three parallel arrays, each sized for every record in
// use. 1 when an array cannot be allocated.
int extractLivePoints(const Volume& volume, PointRawData& out);

// The live records as a new Vertices array (state 0), in record order.
// Failure 1 with "memory is lacked!" when the result cannot be allocated
// (the count is still set), 1 without a message when the working list
// cannot grow.
Outcome extractLiveVertices(const Volume& volume, Vertices** out, int& count);

// Bytes an extraction or a save of the current records may need.
unsigned long long requiredExtractionBytes(const Volume& volume);

}  // namespace fusion
