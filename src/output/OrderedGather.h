#pragma once

// Copying the records that pass a test out of the point store, in ascending
// record index, on several threads: the index range is cut into a fixed
// number of spans; each span's passing records are counted (in parallel),
// the counts summed into each span's first output slot, and each span writes
// its records from there (in parallel). The output is the one a single
// ascending pass gives, whatever the number of threads.
//
// Nothing is allocated: the plan lives on the caller's stack, and the caller
// sizes the output between the two passes. Records may change between the
// passes (a frame's second stage may run meanwhile; readers take no lock):
// a span never writes more than it counted, and spans that found fewer are
// closed up afterwards, so the output stays dense, ordered and in bounds.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "volume/Volume.h"

namespace fusion {

class OrderedGather {
public:
    static constexpr int kSpans = 256;

    // Plans the pass over record indices [0, total).
    explicit OrderedGather(int32_t total) : m_total(std::max<int32_t>(total, 0)) {
        const int64_t per_span = (static_cast<int64_t>(m_total) + kSpans - 1) / kSpans;
        m_span_records = static_cast<int32_t>(std::max<int64_t>(per_span, 1));
    }

    // First pass: counts the records `keep(record)` accepts. Returns the sum.
    template <class Keep>
    int64_t count(const Volume& volume, int threads, Keep&& keep) {
        const RecordLocator records = volume.points().locator();
        (void)threads;  // the team size, when built with OpenMP
#pragma omp parallel for schedule(static) num_threads(threads)
        for (int span = 0; span < kSpans; ++span) {
            int64_t kept = 0;
            const int32_t end = spanEnd(span);
            for (int32_t i = spanBegin(span); i < end; ++i) kept += keep(*records.at(i)) ? 1 : 0;
            m_counted[span] = kept;
        }
        int64_t offset = 0;
        for (int span = 0; span < kSpans; ++span) {
            m_offset[span] = offset;
            offset += m_counted[span];
        }
        return offset;
    }

    // Second pass: `write(record, slot)` for every accepted record, slots
    // dense from 0 in index order, none at or above the first pass's sum.
    // `move(to, from, n)` moves n slots down when a span found fewer records
    // than it counted. Returns the slots written.
    template <class Keep, class Write, class Move>
    int64_t write(const Volume& volume, int threads, Keep&& keep, Write&& write, Move&& move) {
        const RecordLocator records = volume.points().locator();
        (void)threads;
#pragma omp parallel for schedule(static) num_threads(threads)
        for (int span = 0; span < kSpans; ++span) {
            int64_t slot = m_offset[span];
            const int64_t limit = slot + m_counted[span];
            const int32_t end = spanEnd(span);
            for (int32_t i = spanBegin(span); i < end && slot < limit; ++i) {
                const FusionPoint& record = *records.at(i);
                if (keep(record)) write(record, slot++);
            }
            m_written[span] = slot - m_offset[span];
        }
        int64_t filled = 0;
        for (int span = 0; span < kSpans; ++span) {
            if (filled != m_offset[span] && m_written[span] > 0)
                move(filled, m_offset[span], m_written[span]);
            filled += m_written[span];
        }
        return filled;
    }

private:
    int32_t spanBegin(int span) const {
        return static_cast<int32_t>(
            std::min<int64_t>(static_cast<int64_t>(span) * m_span_records, m_total));
    }
    int32_t spanEnd(int span) const { return spanBegin(span + 1); }

    int32_t m_total;
    int32_t m_span_records;
    int64_t m_counted[kSpans] = {};
    int64_t m_offset[kSpans] = {};
    int64_t m_written[kSpans] = {};
};

}  // namespace fusion
