#include "impairment.h"

#include <algorithm>

namespace svrtp {

ImpairmentPlan PlanDepartures(const ImpairmentConfig& config, const std::vector<double>& dueMs)
{
    Random random(config.seed);
    ImpairmentPlan plan;
    struct Draw {
        bool kept;
        bool reorder;
        double sendMs;
        size_t rank; // breaks ties between equal times
    };
    std::vector<Draw> draws(dueMs.size());
    for (size_t i = 0; i < dueMs.size(); ++i) {
        const double loss = random.Uniform();
        const double jitter = random.Uniform();
        const double reorder = random.Uniform();
        draws[i].kept = loss * 100 >= config.lossPercent;
        draws[i].sendMs = dueMs[i] + jitter * config.jitterMs;
        draws[i].reorder = reorder * 100 < config.reorderPercent;
        draws[i].rank = i;
    }
    std::vector<size_t> kept;
    for (size_t i = 0; i < draws.size(); ++i) {
        if (draws[i].kept)
            kept.push_back(i);
        else
            ++plan.dropped;
    }
    for (size_t k = 0; k + 1 < kept.size(); ++k) {
        if (!draws[kept[k]].reorder)
            continue;
        std::swap(draws[kept[k]].sendMs, draws[kept[k + 1]].sendMs);
        std::swap(draws[kept[k]].rank, draws[kept[k + 1]].rank);
        ++plan.swapped;
        ++k;
    }
    for (size_t i : kept)
        plan.departures.push_back({i, draws[i].sendMs});
    std::sort(plan.departures.begin(), plan.departures.end(), [&](const Departure& a, const Departure& b) {
        if (a.sendMs != b.sendMs)
            return a.sendMs < b.sendMs;
        return draws[a.index].rank < draws[b.index].rank;
    });
    size_t highest = 0;
    for (const Departure& d : plan.departures) {
        if (d.index < highest)
            ++plan.outOfOrder;
        highest = std::max(highest, d.index);
    }
    return plan;
}

} // namespace svrtp
