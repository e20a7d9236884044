#ifndef VELLORT_BENCH_MEDIAN_H
#define VELLORT_BENCH_MEDIAN_H

#include <algorithm>
#include <vector>

// The median of a benchmark's per-round figures; the mean of the middle two
// for an even count. Not empty.
inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

#endif
