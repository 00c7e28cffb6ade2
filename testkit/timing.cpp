#include "timing.h"

namespace kel {

Spread spread_of(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    const double median = values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    return {median, values.front(), values.back()};
}

std::vector<double> alternated_ratios(int pairs, const std::function<double()> &candidate,
                                      const std::function<double()> &reference) {
    std::vector<double> ratios;
    for (int pair = 0; pair < pairs; ++pair) {
        double candidate_seconds, reference_seconds;
        if (pair % 2 == 0) {
            candidate_seconds = candidate();
            reference_seconds = reference();
        } else {
            reference_seconds = reference();
            candidate_seconds = candidate();
        }
        ratios.push_back(candidate_seconds > 0 ? reference_seconds / candidate_seconds : 0.0);
    }
    return ratios;
}

}  // namespace kel
