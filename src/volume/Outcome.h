#pragma once

namespace fusion {

// What an internal operation reports upwards: a status (0 done) and, for
// the failures that name themselves, a fixed message for the engine to keep.
// Operations below the engine never store messages themselves: the engine
// owns the one message the host reads.
struct Outcome {
    int status = 0;
    const char* message = nullptr;

    static Outcome done() { return Outcome{}; }
    static Outcome failed(int status, const char* message = nullptr) {
        return Outcome{status, message};
    }
    bool ok() const { return status == 0; }
};

}  // namespace fusion
