#pragma once

// How a host's selected point names a stored record, the same for every
// edit of an area: the voxel its position rounds to, the side its normal
// faces.

#include "fusion/Kelvane.h"
#include "volume/Coordinates.h"
#include "volume/Volume.h"

namespace fusion {

struct Selected {
    Int3 voxel;
    FoundPoint found;  // empty when the position cannot be placed or the voxel
                       // holds no record on that side
};

inline Selected findSelected(const Volume& volume, const PointData& selected) {
    const float resolution = volume.resolution();
    if (!placeable(selected.position, resolution)) return {};
    const Int3 voxel = voxelOf(selected.position, resolution);
    return {voxel, volume.lookupPoint(voxel, selected.normal)};
}

}  // namespace fusion
