#pragma once

// The test program's own operator new (FailingNew.cpp): it counts the calls
// made while a FailingNew lives and makes one of them fail, as a lack of
// memory would: the throwing forms throw std::bad_alloc, the non-throwing
// forms return null. Unlike FailingAllocations, which reaches only the
// library's guarded allocations, this reaches every allocation made through
// new on any thread: containers, shared pointers, tasks, buffers.

namespace fusion_test {

class FailingNew {
public:
    // Counts from 0; call number `fail_at` fails (none when negative).
    explicit FailingNew(long fail_at = -1);
    ~FailingNew();
    FailingNew(const FailingNew&) = delete;
    FailingNew& operator=(const FailingNew&) = delete;
    // Calls of operator new so far (the failed one included).
    long calls() const;
};

}  // namespace fusion_test
