#pragma once

// A program run as a child process, signalled and waited for: the only
// operating-system calls of the tests (POSIX systems only).

#include <string>
#include <vector>

namespace test_support {

#if !defined(_WIN32)
class ChildProcess {
public:
    // Starts `args[0]` with `args`, in this process's environment; running()
    // says whether it started.
    explicit ChildProcess(const std::vector<std::string>& args);
    // Kills a child still running and waits for it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool running() const { return m_id > 0; }
    void signal(int signal_number);
    // Waits for the end; true when the child ended by `signal_number`.
    // `how` describes the end for a failure message.
    bool waitEndedBySignal(int signal_number, std::string& how);

private:
    long m_id = 0;
};
#endif

}  // namespace test_support
