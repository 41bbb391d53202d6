#pragma once

#include <mutex>
#include <string>

namespace fusion {

// The engine's last message. Second stages on pool workers store their
// failures while the host may be reading or replacing it from its own
// thread, so every access takes the lock; a reader gets a copy.
class EngineMessage {
public:
    explicit EngineMessage(const char* initial) : m_text(initial) {}
    void set(const char* text) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_text = text;
    }
    std::string get() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_text;
    }

private:
    mutable std::mutex m_lock;  // guards m_text
    std::string m_text;
};

}  // namespace fusion
