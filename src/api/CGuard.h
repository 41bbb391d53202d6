#pragma once

// The exception barrier of the C interface: a C host cannot catch a C++
// exception, and one unwinding through a C frame is undefined behaviour, so
// every entry point runs its body through guardedStatus. Header only, so the
// tests can feed it every kind of exception.

#include <exception>
#include <new>
#include <string>

#include "fusion/kelvane_status.h"

namespace fusion {
namespace capi {

// Sets `message` without letting a failed allocation escape; an empty
// message then stands for "out of memory".
inline void setMessageNoThrow(std::string& message, const char* text) noexcept {
    try {
        message = text;
    } catch (...) {
        message.clear();
    }
}

// Runs `body` (returning a status). An exception becomes a status and sets
// `message`: std::bad_alloc gives 66049 and "<function>: out of memory",
// any other std::exception 1 and its what(), anything else 1.
template <class Body>
int guardedStatus(const char* function, std::string& message, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        try {
            message = std::string(function) + ": out of memory";
        } catch (...) {
            message.clear();
        }
        return status::kOutOfMemory;
    } catch (const std::exception& error) {
        setMessageNoThrow(message, error.what());
        return status::kFailed;
    } catch (...) {
        try {
            message = std::string(function) + ": unknown exception";
        } catch (...) {
            message.clear();
        }
        return status::kFailed;
    }
}

}  // namespace capi
}  // namespace fusion
