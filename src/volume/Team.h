#pragma once

// Who runs a frame's loops: the calling thread, as member 0, and the
// members a team adds. A loop body learns its member number and divides the
// work through shared state (LoopShares): members other than the caller may
// join late or not at all, so the caller alone must be able to do it all.

#include <type_traits>

namespace fusion {

class Team {
public:
    virtual ~Team() = default;

    // Members the team may field, the caller included.
    virtual int size() const noexcept = 0;

    // Calls body(member) on the caller (member 0) and on the other members
    // that join while the caller's call runs; returns when every call that
    // started has returned. No member calls body twice in one run.
    template <class Body>
    void run(Body&& body) {
        using Plain = std::remove_reference_t<Body>;
        runErased([](void* context, int member) { (*static_cast<Plain*>(context))(member); },
                  &body);
    }

    // Whether member `member` should take more work now. The caller always
    // should; a member the team added steps back when the processor it runs
    // on is wanted elsewhere (the second stage of an earlier frame).
    virtual bool keepGoing(int member) const noexcept {
        (void)member;
        return true;
    }

protected:
    virtual void runErased(void (*body)(void*, int), void* context) = 0;
};

// The caller alone: loops run where they are called.
class SoloTeam final : public Team {
public:
    int size() const noexcept override { return 1; }

protected:
    void runErased(void (*body)(void*, int), void* context) override { body(context, 0); }
};

}  // namespace fusion
