#pragma once

// Whether the OpenMP runtime may size teams by itself is the host's setting:
// the wrapper switches it on when it is constructed, and a host may change it
// for its own loops. The engine's loops are bound by computation and sized to
// the processors; sized by the runtime, from the load average, every team
// shrinks to one thread on a small machine whose load is the engine's own
// frames. So each operation that runs loops switches dynamic sizing off on
// the calling thread while it runs, and puts the host's setting back.

#ifdef _OPENMP
#include <omp.h>
#endif

namespace fusion {

class FixedTeams {
public:
#ifdef _OPENMP
    FixedTeams() : m_dynamic(omp_get_dynamic()) {
        if (m_dynamic != 0) omp_set_dynamic(0);
    }
    ~FixedTeams() {
        if (m_dynamic != 0) omp_set_dynamic(m_dynamic);
    }
#else
    // User-provided, like the OpenMP variant's: a trivially constructible
    // guard would be an unused variable at every use.
    FixedTeams() {}
#endif
    FixedTeams(const FixedTeams&) = delete;
    FixedTeams& operator=(const FixedTeams&) = delete;

private:
#ifdef _OPENMP
    int m_dynamic;
#endif
};

}  // namespace fusion
