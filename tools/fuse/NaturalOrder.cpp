#include "fuse/NaturalOrder.h"

#include <cctype>
#include <cstddef>

namespace kelvane_fuse {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Compares the digit runs starting at a[i] and b[j] by value and advances
// both past them. Equal values of different spelling ("7", "007") set
// `zeros_tie` the first time, to settle an otherwise complete tie.
int compareNumberRuns(const std::string& a, size_t& i, const std::string& b, size_t& j,
                      int& zeros_tie) {
    const size_t a_begin = i, b_begin = j;
    while (i < a.size() && a[i] == '0') ++i;
    while (j < b.size() && b[j] == '0') ++j;
    const size_t a_sig = i, b_sig = j;
    while (i < a.size() && isDigit(a[i])) ++i;
    while (j < b.size() && isDigit(b[j])) ++j;
    const size_t a_len = i - a_sig, b_len = j - b_sig;
    if (a_len != b_len) return a_len < b_len ? -1 : 1;
    for (size_t k = 0; k < a_len; ++k) {
        if (a[a_sig + k] != b[b_sig + k]) return a[a_sig + k] < b[b_sig + k] ? -1 : 1;
    }
    const size_t a_run = i - a_begin, b_run = j - b_begin;
    if (zeros_tie == 0 && a_run != b_run) zeros_tie = a_run < b_run ? -1 : 1;
    return 0;
}

}  // namespace

bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    int zeros_tie = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            const int order = compareNumberRuns(a, i, b, j, zeros_tie);
            if (order != 0) return order < 0;
            continue;
        }
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb) return ca < cb;
        ++i;
        ++j;
    }
    if ((i < a.size()) != (j < b.size())) return j < b.size();
    if (zeros_tie != 0) return zeros_tie < 0;
    return a < b;
}

}  // namespace kelvane_fuse
