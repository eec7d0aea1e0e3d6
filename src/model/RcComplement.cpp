#include "model/RcComplement.h"

#include "common/Numbers.h"
#include "model/MeasurementSettings.h"

#include <cmath>

namespace hs {

namespace {

// 2π times the 200 kHz sampling rate, rounded.
constexpr double kOmegaPerSampleRate = 1256640.0;

bool usableValue(double value)
{
    return std::isfinite(value) && value > 0.0;
}

} // namespace

std::optional<RcFilter> rcFilterOf(const RcRow& row)
{
    if (!row.ticked)
        return std::nullopt;
    const double r = readNumber(row.rText);
    const double c = readNumber(row.cText);
    if (!usableValue(r) || !usableValue(c))
        return std::nullopt;
    return RcFilter{r, c};
}

bool rcComplementActive(const RcRow& row)
{
    return rcFilterOf(row).has_value();
}

float rcComplementFactor(const RcFilter& filter, int order, int periodSamples)
{
    if (order <= 0 || periodSamples <= 0)
        return 1.0f;
    const float omega = static_cast<float>(kOmegaPerSampleRate * order / periodSamples);
    const float reactance =
        static_cast<float>(1.0 / (1e-6 * filter.capacitanceMicroFarad * double(omega)));
    const double resistance = 1e3 * filter.resistanceKiloOhm;
    const float factor = static_cast<float>(
        std::sqrt(resistance * resistance + double(reactance) * double(reactance)) / resistance);
    return std::isfinite(factor) ? factor : 1.0f;
}

float rcComplementFactor(const RcRow& row, int order, int periodSamples)
{
    const std::optional<RcFilter> filter = rcFilterOf(row);
    return filter ? rcComplementFactor(*filter, order, periodSamples) : 1.0f;
}

void rcComplementFactors(const RcRow& row, int maxOrder, int periodSamples,
                         std::vector<float>& factors)
{
    const std::size_t count = maxOrder >= 0 ? static_cast<std::size_t>(maxOrder) + 1 : 0;
    factors.assign(count, 1.0f);
    const std::optional<RcFilter> filter = rcFilterOf(row);
    if (!filter)
        return;
    for (int k = 1; k <= maxOrder; ++k)
        factors[static_cast<std::size_t>(k)] = rcComplementFactor(*filter, k, periodSamples);
}

} // namespace hs
