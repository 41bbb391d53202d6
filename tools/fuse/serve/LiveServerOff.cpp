// The live view in a build without its HTTP/WebSocket library: --serve
// explains instead of serving.

#include "fuse/LiveView.h"

namespace kelvane_fuse {

std::unique_ptr<LiveView> startLiveView(const ServeSettings&, std::string& error) {
    error =
        "--serve: this kelvane-fuse was built without the live view (configure with "
        "Boost's headers, libboost-dev, and -DKELVANE_SERVE=ON)";
    return nullptr;
}

bool liveViewBuiltIn() { return false; }

}  // namespace kelvane_fuse
