#pragma once

#include <atomic>
#include <string>

namespace fusion {

// The engine's last message. Second stages on pool workers, and the loops
// of a blocking frame's team, store their failures while the host may be
// reading or replacing it from its own thread. Every message is one of the
// library's fixed phrases (static storage), so the message is a pointer to
// it: storing one neither locks nor allocates, which a loop body may not.
class EngineMessage {
public:
    explicit EngineMessage(const char* initial) : m_text(initial) {}
    void set(const char* text) noexcept { m_text.store(text, std::memory_order_release); }
    std::string get() const { return m_text.load(std::memory_order_acquire); }

private:
    std::atomic<const char*> m_text;
};

}  // namespace fusion
