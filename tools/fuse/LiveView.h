#pragma once

// The live view of kelvane-fuse (--serve): a page in the browser that draws
// the model while it grows. The run hands it, on its own thread, what it
// already has after every frame: the records of the drain, and the whole
// model when a page asks for it. The server copies what it needs and returns
// at once; sockets are served on threads of its own, so a slow or stuck page
// never holds up a frame.
//
// Built only with the HTTP/WebSocket library (CMake option KELVANE_SERVE);
// without it startLiveView says so and the rest of the tool is unchanged.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "fusion/Kelvane.h"

namespace kelvane_fuse {

// What the page shows beside the model.
struct LiveStats {
    int32_t frame = 0;        // frames played so far
    int32_t frames = 0;       // frames in the run, 0 when unknown
    float fps = 0.0f;         // frames played per second so far
    int32_t dropped = 0;      // second stages dropped so far
    float resolution = 0.0f;  // voxel edge, sizes the points
};

struct ServeSettings {
    std::string address = "127.0.0.1";
    int port = 0;                            // 0: a free port
    int64_t queue_limit = 64 * 1024 * 1024;  // bytes a page may fall behind
};

class LiveView {
public:
    virtual ~LiveView() = default;

    // The page's address, for the start-up line.
    virtual std::string url() const = 0;
    // One drain's records, in the order the library gave them.
    virtual void publishUpdates(const fusion::Vertices* records, int count,
                                const LiveStats& stats) = 0;
    // True while a page waits for the whole model (just opened, or fallen
    // too far behind); the run then extracts after its drain and publishes.
    virtual bool wantsModel() const = 0;
    // Sends every page the model afresh after the next frame (blocking
    // frames report no updates).
    virtual void resyncAll() = 0;
    // The whole model, taken right after a drain whose records were
    // published: waiting pages start from it and follow the stream.
    virtual void publishModel(const fusion::Vertices* vertices, int count,
                              const LiveStats& stats) = 0;
    // The run is over: the final extraction. Pages in the stream are told
    // its size and digest to compare with; pages opened later start from it.
    virtual void publishFinal(const fusion::Vertices* vertices, int count,
                              const LiveStats& stats) = 0;
    // Blocks until SIGINT or SIGTERM; calls `armed` once they are caught.
    virtual void waitForInterrupt(const std::function<void()>& armed) = 0;
    // Lets queued messages reach their pages for up to `seconds`.
    virtual void drainQueues(double seconds) = 0;
    // One line on what the pages did: served, resynchronised, dropped.
    virtual std::string summary() const = 0;
};

// The server listening, or null with `error` set (address in use, or the
// tool built without the live view).
std::unique_ptr<LiveView> startLiveView(const ServeSettings& settings, std::string& error);
bool liveViewBuiltIn();

}  // namespace kelvane_fuse
