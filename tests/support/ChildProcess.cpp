#include "support/ChildProcess.h"

#if !defined(_WIN32)

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

extern char** environ;

namespace test_support {

ChildProcess::ChildProcess(const std::vector<std::string>& args) {
    std::vector<std::string> owned = args;
    std::vector<char*> argv;
    for (std::string& a : owned) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t child = 0;
    if (!argv.empty() && argv[0] != nullptr &&
        posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) == 0)
        m_id = child;
}

ChildProcess::~ChildProcess() {
    if (m_id <= 0) return;
    kill(static_cast<pid_t>(m_id), SIGKILL);
    int status = 0;
    (void)waitpid(static_cast<pid_t>(m_id), &status, 0);
}

void ChildProcess::signal(int signal_number) {
    if (m_id > 0) kill(static_cast<pid_t>(m_id), signal_number);
}

bool ChildProcess::waitEndedBySignal(int signal_number, std::string& how) {
    if (m_id <= 0) {
        how = "not started";
        return false;
    }
    int status = 0;
    const pid_t ended = waitpid(static_cast<pid_t>(m_id), &status, 0);
    m_id = 0;
    if (ended < 0) {
        how = "not waited for";
        return false;
    }
    if (WIFSIGNALED(status)) {
        how = "ended by signal " + std::to_string(WTERMSIG(status));
        return WTERMSIG(status) == signal_number;
    }
    how = "exited with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return false;
}

}  // namespace test_support

#endif
