#include "engine/HarmonicAnalysis.h"

#include "common/Clock.h"
#include "model/EngineObserver.h"
#include "common/Numbers.h"
#include "model/MeasurementData.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"
#include "model/RcComplement.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <vector>

namespace hs {

namespace {

// The constants the result files were always computed with.
constexpr double kTwicePi = 6.2831852;       // twiddle factors
constexpr double kRoot2 = 1.41421;           // peak to RMS of a harmonic component
constexpr double kPiPhase1 = 3.14159;        // VoltPhase1
constexpr double kGuard = 1e-20;             // added to every arc-tangent denominator

constexpr int kMaxFeeders = 9;
constexpr int kMaxSampleCount = 16384; // BitReverse holds int16 sample indexes

using std::size_t;

size_t idx(int i)
{
    return static_cast<size_t>(i);
}

// N when SampleCount is a power of two within range and SampleCountLog2 is its logarithm.
std::optional<int> transformLength(const MeasurementSettings& settings)
{
    const int n = settings.SampleCount;
    const int log2n = settings.SampleCountLog2;
    if (log2n < 1 || log2n > 14 || n != (1 << log2n) || n > kMaxSampleCount)
        return std::nullopt;
    return n;
}

bool tablesFit(const MeasurementData& data, int n)
{
    return data.BitReverse.size() == idx(n) + 1 && data.TwiddleCos.size() == idx(n / 2) + 1 &&
           data.TwiddleSin.size() == idx(n / 2) + 1;
}

bool waveFits(const MeasurementData& data, int lastFeeder, int n)
{
    return lastFeeder >= 0 && lastFeeder < kMaxFeeders &&
           data.WaveData.dim0() >= idx(MeasurementData::channelCount(lastFeeder)) &&
           data.WaveData.dim1() >= idx(n) + 1;
}

template <typename A> bool is2(const A& a, size_t n0, size_t n1)
{
    return a.dim0() == n0 && a.dim1() == n1;
}

template <typename A> bool is3(const A& a, size_t n0, size_t n1, size_t n2)
{
    return a.dim0() == n0 && a.dim1() == n1 && a.dim2() == n2;
}

// Whether every array the analysis writes is sized for the settings.
bool shotArraysFit(const MeasurementData& data, const MeasurementSettings& settings)
{
    const std::optional<int> n = transformLength(settings);
    const int type = settings.MeasureType();
    const int lastFeeder = settings.LastFeeder;
    const int maxOrder = settings.MaxHarmonicOrder;
    if (!n || type < 0 || type > 4 || maxOrder < 1 || maxOrder > *n)
        return false;
    if (!tablesFit(data, *n) || !waveFits(data, lastFeeder, *n))
        return false;
    if (data.VoltageLast < 0 || data.VoltageLast > 2 || data.ElementLast < 0 ||
        data.ElementLast > data.VoltageLast)
        return false;
    const size_t f = idx(lastFeeder) + 1;
    const size_t k = idx(maxOrder) + 1;
    return is2(data.VoltCos, 6, k) && is2(data.VoltSin, 6, k) && is3(data.CurCos, f, 6, k) &&
           is3(data.CurSin, f, 6, k) && is2(data.VoltMag, k, 3) && is3(data.CurMag, f, k, 3) &&
           is2(data.CurFundRawCos, f, 3) && is2(data.CurFundRawSin, f, 3) &&
           data.VoltByOrder.size() == k && is2(data.CurByOrder, f, k) &&
           is2(data.ActivePower, f, k) && is2(data.ReactivePower, f, k) &&
           is2(data.PowerAngle, f, k) && data.VoltSuperRe.size() == k &&
           data.VoltSuperIm.size() == k && data.VoltSuperAngle.size() == k &&
           is2(data.CurSuperRe, f, k) && is2(data.CurSuperIm, f, k) &&
           is2(data.CurSuperAngle, f, k) && data.VoltRatio.size() == k &&
           is2(data.CurRatio, f, k) && is2(data.PowerRatio, f, k) && is2(data.CurRms, 9, 3) &&
           is2(data.CurHarmRssPhase, 10, 3);
}

bool intervalArraysFit(const MeasurementData& data, const MeasurementSettings& settings)
{
    const int lastFeeder = settings.LastFeeder;
    const int maxOrder = settings.MaxHarmonicOrder;
    if (lastFeeder < 0 || lastFeeder >= kMaxFeeders || maxOrder < 1)
        return false;
    const size_t f = idx(lastFeeder) + 1;
    const size_t k = idx(maxOrder) + 1;
    return data.VoltByOrder.size() == k && is2(data.CurByOrder, f, k) &&
           is2(data.ActivePower, f, k) && is2(data.ReactivePower, f, k) &&
           data.VoltSuperRe.size() == k && data.VoltSuperIm.size() == k &&
           is2(data.CurSuperRe, f, k) && is2(data.CurSuperIm, f, k) &&
           data.IntVoltByOrder.size() == k && is2(data.IntCurByOrder, f, k) &&
           is2(data.IntActivePower, f, k) && is2(data.IntReactivePower, f, k) &&
           data.IntVoltSuperRe.size() == k && data.IntVoltSuperIm.size() == k &&
           is2(data.IntCurSuperRe, f, k) && is2(data.IntCurSuperIm, f, k) &&
           is2(data.IntCurRms, 9, 3) && is2(data.CurRms, 9, 3);
}

bool finite(const float* values, size_t count)
{
    bool ok = true;
    for (size_t i = 0; i < count; ++i)
        ok &= std::isfinite(values[i]);
    return ok;
}

template <typename A> bool finite(const A& a)
{
    return finite(a.data(), a.size());
}

bool shotResultsFinite(const MeasurementData& d)
{
    return finite(d.VoltCos) && finite(d.VoltSin) && finite(d.CurCos) && finite(d.CurSin) &&
           finite(d.VoltMag) && finite(d.CurMag) && finite(d.CurFundRawCos) &&
           finite(d.CurFundRawSin) && finite(d.VoltByOrder) && finite(d.CurByOrder) &&
           finite(d.ActivePower) && finite(d.ReactivePower) && finite(d.VoltSuperRe) &&
           finite(d.VoltSuperIm) && finite(d.CurSuperRe) && finite(d.CurSuperIm) &&
           finite(d.VoltRatio) && finite(d.CurRatio) && finite(d.PowerRatio) &&
           finite(d.VoltFundRawCos) && finite(d.VoltFundRawSin) && finite(d.VoltPhase1) &&
           finite(d.VoltRms) && finite(d.CurRms) && std::isfinite(d.VoltHarmRss) &&
           finite(d.CurHarmRss) && finite(d.VoltHarmRssPhase) && finite(d.CurHarmRssPhase) &&
           std::isfinite(d.VoltRatioMax) && std::isfinite(d.VoltRatioMaxHigh) &&
           finite(d.CurRatioMax);
}

// 16-bit arithmetic of the channel derivation: a value that does not fit is an overflow.
std::optional<std::int16_t> fit16(long value)
{
    if (value < -32768 || value > 32767)
        return std::nullopt;
    return static_cast<std::int16_t>(value);
}

// Nearest whole number to q / 3. A third never ends in a half, so no tie-break is needed.
long nearestThird(long q)
{
    long d = q / 3;
    long r = q % 3;
    if (r < 0) { // floor division
        d -= 1;
        r += 3;
    }
    return r == 2 ? d + 1 : d;
}

// Re-bases two line quantities a, b (measured against the third line) onto the neutral:
// z = −(a + b) / 3 rounded to the nearest; a += z, b += z, c = z. False on overflow, nothing
// written then.
bool rebase(std::int16_t& a, std::int16_t& b, std::int16_t& c)
{
    const std::optional<std::int16_t> sum = fit16(long(a) + b);
    if (!sum)
        return false;
    const long z = nearestThird(-long(*sum)); // |z| <= 10923: always fits
    const std::optional<std::int16_t> na = fit16(long(a) + z);
    const std::optional<std::int16_t> nb = fit16(long(b) + z);
    if (!na || !nb)
        return false;
    a = *na;
    b = *nb;
    c = static_cast<std::int16_t>(z);
    return true;
}

bool assignIfFits(std::int16_t& target, std::optional<std::int16_t> value)
{
    if (!value)
        return false;
    target = *value;
    return true;
}

// Volts (or amperes) per count of a logical input before the transformer ratios.
double voltsPerCount(const MeasurementData& data, const MeasurementSettings& settings,
                     const RecorderFacts& facts, int input)
{
    return double(data.InputRange[idx(input)]) / CountsPerDivision(settings, facts, input);
}

float rounded(double value)
{
    return static_cast<float>(value);
}

void addTo(float& target, double value)
{
    target = rounded(double(target) + value);
}

} // namespace

int BuildTransformTables(MeasurementData& data, const MeasurementSettings& settings)
{
    const std::optional<int> length = transformLength(settings);
    if (!length || !tablesFit(data, *length))
        return AnalysisNotSized;
    const int n = *length;
    const int log2n = settings.SampleCountLog2;
    for (int j = 0; j < n; ++j) {
        int reversed = 0;
        int z = n / 2;
        int a = j;
        for (int bit = 0; bit < log2n; ++bit) {
            reversed += (a % 2) * z;
            z /= 2;
            a /= 2;
        }
        data.BitReverse[idx(j)] = static_cast<std::int16_t>(reversed);
    }
    data.BitReverse[idx(n)] = 0;
    for (int k = 0; k <= n / 2; ++k) {
        const float angle = rounded((-kTwicePi / n) * k);
        data.TwiddleCos[idx(k)] = rounded(std::cos(double(angle)));
        data.TwiddleSin[idx(k)] = rounded(std::sin(double(angle)));
    }
    return AnalysisOk;
}

int FourierTransform(MeasurementData& data, const MeasurementSettings& settings, int channel)
{
    const std::optional<int> length = transformLength(settings);
    if (!length || !tablesFit(data, *length) || channel < 0 ||
        idx(channel) >= data.WaveData.dim0() || data.WaveData.dim1() < idx(*length) + 1)
        return AnalysisNotSized;
    const int n = *length;
    const int log2n = settings.SampleCountLog2;

    data.FftChannel = static_cast<std::int16_t>(channel);
    data.FftReal.assign(idx(n) + 1, 0.0f);
    data.FftImag.assign(idx(n) + 1, 0.0f);
    float* re = data.FftReal.data();
    float* im = data.FftImag.data();
    const std::int16_t* reverse = data.BitReverse.data();
    const size_t channels = data.WaveData.dim0();
    const std::int16_t* wave = data.WaveData.data() + idx(channel);

    const double inverseN = 1.0 / n; // exact: N is a power of two
    for (int j = 0; j < n; ++j) {
        const int source = reverse[j];
        if (source < 0 || source >= n)
            return AnalysisNotSized; // tables not built
        re[j] = rounded(double(wave[idx(source) * channels]) * inverseN);
    }

    const float* twCos = data.TwiddleCos.data();
    const float* twSin = data.TwiddleSin.data();
    for (int s = 0; s < log2n; ++s) {
        const int e = 1 << s;
        const int g = 1 << (log2n - 1 - s);
        // Each butterfly of a stage is independent; running m outside l keeps one twiddle.
        for (int m = 0; m < e; ++m) {
            const double wr = twCos[g * m];
            const double wi = twSin[g * m];
            for (int a = m; a < n; a += 2 * e) {
                const int b = a + e;
                const double br = re[b];
                const double bi = im[b];
                const double tr = wr * br - wi * bi;
                const double ti = wi * br + wr * bi;
                const double ar = re[a];
                const double ai = im[a];
                re[a] = rounded(ar + tr);
                im[a] = rounded(ai + ti);
                re[b] = rounded(ar - tr);
                im[b] = rounded(ai - ti);
            }
        }
    }
    return AnalysisOk;
}

int DeriveChannels(MeasurementData& data, const MeasurementSettings& settings)
{
    const int type = settings.MeasureType();
    if (type != 2 && type != 4)
        return AnalysisOk;
    const int n = settings.SampleCount;
    const int lastFeeder = settings.LastFeeder;
    if (n < 1 || !waveFits(data, lastFeeder, n))
        return AnalysisNotSized;

    Array2<std::int16_t>& w = data.WaveData;
    bool ok = true;
    for (size_t i = 0; i <= idx(n); ++i) {
        if (type == 2) {
            ok &= assignIfFits(w(2, i), fit16(long(w(0, i)) - w(1, i)));
        } else {
            ok &= rebase(w(0, i), w(1, i), w(2, i));
        }
        for (int f = 0; f <= lastFeeder; ++f) {
            const size_t c0 = idx(3 * f + 3);
            const bool vConnection = settings.VConnection[idx(f)];
            std::int16_t& i0 = w(c0, i);
            std::int16_t& i1 = w(c0 + 1, i);
            std::int16_t& i2 = w(c0 + 2, i);
            if (type == 2) {
                ok &= assignIfFits(i2, vConnection ? fit16(long(i0) - i1) : fit16(long(i0) + i1));
            } else if (vConnection) {
                ok &= rebase(i0, i1, i2);
            } else {
                const std::optional<std::int16_t> sum = fit16(long(i0) + i1);
                ok &= sum && assignIfFits(i2, fit16(-long(*sum)));
            }
        }
    }
    return ok ? AnalysisOk : AnalysisOverflow;
}

namespace {

// Scale factors and R-C complement factors of one shot.
// The scales are signed (PrimaryPerInputVolt): a reversed transformer turns its phasors.
struct ShotScales {
    double volt = 0.0;                                     // volts per voltage count
    std::array<double, kMaxFeeders> cur{};                 // amperes per current count of feeder f
    std::vector<float> voltFactor;                         // F_k of the voltage row
    std::array<std::vector<float>, kMaxFeeders> curFactor; // F_k of feeder f's row
};

ShotScales shotScales(const MeasurementData& data, const MeasurementSettings& settings,
                      const RecorderFacts& facts, int period)
{
    ShotScales scales;
    const int maxOrder = settings.MaxHarmonicOrder;
    scales.volt = voltsPerCount(data, settings, facts, 0) * PrimaryPerInputVolt(settings, 0);
    rcComplementFactors(settings.RcRows[0], maxOrder, period, scales.voltFactor);
    for (int f = 0; f <= settings.LastFeeder; ++f) {
        const size_t sf = idx(f);
        const int input = 2 * f + 2;
        scales.cur[sf] =
            voltsPerCount(data, settings, facts, input) * PrimaryPerInputVolt(settings, input);
        rcComplementFactors(settings.RcRows[sf + 1], maxOrder, period, scales.curFactor[sf]);
    }
    return scales;
}

// Cosine and sine part of order k of the spectrum just transformed, as RMS values.
struct Component {
    float cos, sin;
};

Component component(const MeasurementData& data, int n, int k, double scale, double factor)
{
    const float* re = data.FftReal.data();
    const float* im = data.FftImag.data();
    return {rounded((double(re[n - k]) + re[k]) * scale / kRoot2 * factor),
            rounded((double(im[n - k]) - im[k]) * scale / kRoot2 * factor)};
}

// Unscaled cosine and sine part of the fundamental bin of the spectrum just transformed.
Component rawFundamental(const MeasurementData& data, int n)
{
    const float* re = data.FftReal.data();
    const float* im = data.FftImag.data();
    return {rounded(double(re[n - 1]) + re[1]), rounded(double(im[n - 1]) - im[1])};
}

// Transforms every voltage phase and the currents of that phase; stores the components and adds
// them, referred to the phase's voltage fundamental, into slots 3..5.
int harmonicComponents(MeasurementData& data, const MeasurementSettings& settings,
                       const ShotScales& scales)
{
    const int n = settings.SampleCount;
    const int maxOrder = settings.MaxHarmonicOrder;
    std::vector<float> refCos(idx(maxOrder) + 1), refSin(idx(maxOrder) + 1);
    for (int c = 0; c <= data.VoltageLast; ++c) {
        const size_t sc = idx(c);
        if (const int st = FourierTransform(data, settings, c); st != AnalysisOk)
            return st;
        float r = 0.0f; // minus the fundamental angle of this phase
        for (int k = 1; k <= maxOrder; ++k) {
            const size_t sk = idx(k);
            const Component v = component(data, n, k, scales.volt, scales.voltFactor[sk]);
            data.VoltCos(sc, sk) = v.cos;
            data.VoltSin(sc, sk) = v.sin;
            if (k == 1)
                r = -FundamentalAngle(v.sin, v.cos);
            const float alpha = rounded(double(k) * r);
            const float cs = rounded(std::cos(double(alpha)));
            const float sn = rounded(std::sin(double(alpha)));
            refCos[sk] = cs;
            refSin[sk] = sn;
            addTo(data.VoltSin(sc + 3, sk), double(v.sin) * cs - double(v.cos) * sn);
            addTo(data.VoltCos(sc + 3, sk), double(v.cos) * cs + double(v.sin) * sn);
        }
        const Component vRaw = rawFundamental(data, n);
        data.VoltFundRawCos[sc] = vRaw.cos;
        data.VoltFundRawSin[sc] = vRaw.sin;

        for (int f = 0; f <= settings.LastFeeder; ++f) {
            const size_t sf = idx(f);
            if (const int st = FourierTransform(data, settings, 3 * f + 3 + c); st != AnalysisOk)
                return st;
            for (int k = 1; k <= maxOrder; ++k) {
                const size_t sk = idx(k);
                const Component i = component(data, n, k, scales.cur[sf], scales.curFactor[sf][sk]);
                data.CurCos(sf, sc, sk) = i.cos;
                data.CurSin(sf, sc, sk) = i.sin;
                const double cs = refCos[sk];
                const double sn = refSin[sk];
                addTo(data.CurCos(sf, sc + 3, sk), double(i.cos) * cs + double(i.sin) * sn);
                addTo(data.CurSin(sf, sc + 3, sk), double(i.sin) * cs - double(i.cos) * sn);
            }
            const Component iRaw = rawFundamental(data, n);
            data.CurFundRawCos(sf, sc) = iRaw.cos;
            data.CurFundRawSin(sf, sc) = iRaw.sin;
        }
    }
    return AnalysisOk;
}

// True RMS of every analysed voltage and current from the samples; the squares are summed in
// single precision and no R-C complement applies.
void trueRms(MeasurementData& data, const MeasurementSettings& settings, const ShotScales& scales)
{
    const int n = settings.SampleCount;
    const auto meanSquare = [&](int channel) {
        float sum = 0.0f;
        for (int i = 0; i < n; ++i) {
            const long v = data.WaveData(idx(channel), idx(i));
            sum += static_cast<float>(v * v);
        }
        return double(sum) / n;
    };
    for (int c = 0; c <= data.VoltageLast; ++c) {
        data.VoltRms[idx(c)] = rounded(std::sqrt(meanSquare(c)) * std::abs(scales.volt));
        for (int f = 0; f <= settings.LastFeeder; ++f)
            data.CurRms(idx(f), idx(c)) =
                rounded(std::sqrt(meanSquare(3 * f + 3 + c)) * std::abs(scales.cur[idx(f)]));
    }
}

// Magnitudes, means over the phases, powers over the wattmeter elements and superposition sums
// of every order.
void perOrderQuantities(MeasurementData& data, const MeasurementSettings& settings)
{
    const int feeders = settings.LastFeeder + 1;
    const int voltageLast = data.VoltageLast;
    const bool threeMeterOne = settings.MeasureType() == 3;
    const double root3 = std::sqrt(3.0);
    const double phases = voltageLast + 1;
    std::array<double, kMaxFeeders> cm{}, p{}, q{}, cr{}, ci{};
    std::array<double, 3> cosBeta{}, sinBeta{};
    for (int k = 1; k <= settings.MaxHarmonicOrder; ++k) {
        const size_t sk = idx(k);
        double m = 0.0, vr = 0.0, vi = 0.0;
        cm.fill(0.0);
        p.fill(0.0);
        q.fill(0.0);
        cr.fill(0.0);
        ci.fill(0.0);
        for (int c = 0; c <= voltageLast; ++c) {
            const size_t sc = idx(c);
            const double vCos = data.VoltCos(sc, sk);
            const double vSin = data.VoltSin(sc, sk);
            if (k == 1)
                data.VoltPhase1[sc] =
                    rounded(std::atan(vCos / (vSin + kGuard)) + (vSin < 0 ? kPiPhase1 : 0.0));
            const float vMag = rounded(std::sqrt(vCos * vCos + vSin * vSin));
            data.VoltMag(sk, sc) = vMag;
            m += vMag;
            for (int f = 0; f < feeders; ++f) {
                const size_t sf = idx(f);
                float& iCos = data.CurCos(sf, sc, sk);
                float& iSin = data.CurSin(sf, sc, sk);
                const float iMag = rounded(std::sqrt(double(iCos) * iCos + double(iSin) * iSin));
                data.CurMag(sf, sk, sc) = iMag;
                cm[sf] += iMag;
                if (threeMeterOne) { // one meter stands for three phases
                    iCos = rounded(iCos * root3);
                    iSin = rounded(iSin * root3);
                }
            }
            const float beta = rounded(double(k) * data.VoltPhase1[sc]);
            cosBeta[sc] = std::cos(double(beta));
            sinBeta[sc] = std::sin(double(beta));
            vr += vSin * cosBeta[sc] + vCos * sinBeta[sc];
            vi += vCos * cosBeta[sc] - vSin * sinBeta[sc];
        }
        for (int e = 0; e <= data.ElementLast; ++e) {
            const size_t se = idx(e);
            const double vCos = data.VoltCos(se, sk);
            const double vSin = data.VoltSin(se, sk);
            for (int f = 0; f < feeders; ++f) {
                const size_t sf = idx(f);
                const double iCos = data.CurCos(sf, se, sk);
                const double iSin = data.CurSin(sf, se, sk);
                p[sf] += iSin * vSin + vCos * iCos;
                q[sf] += iCos * vSin - vCos * iSin;
                cr[sf] += iSin * cosBeta[se] + iCos * sinBeta[se];
                ci[sf] += iCos * cosBeta[se] - iSin * sinBeta[se];
            }
        }
        data.VoltByOrder[sk] = rounded(m / phases);
        data.VoltSuperAngle[sk] = SuperpositionAngle(vr, vi);
        data.VoltSuperRe[sk] = rounded(vr);
        data.VoltSuperIm[sk] = rounded(vi);
        for (int f = 0; f < feeders; ++f) {
            const size_t sf = idx(f);
            data.CurByOrder(sf, sk) = rounded(cm[sf] / phases);
            data.PowerAngle(sf, sk) = SuperpositionAngle(p[sf], q[sf]);
            data.CurSuperAngle(sf, sk) = SuperpositionAngle(cr[sf], ci[sf]);
            data.ActivePower(sf, sk) = rounded(p[sf]);
            data.ReactivePower(sf, sk) = rounded(q[sf]);
            data.CurSuperRe(sf, sk) = rounded(cr[sf]);
            data.CurSuperIm(sf, sk) = rounded(ci[sf]);
        }
    }
}

// Distortion sums, ratios to the fundamental and their maxima.
void distortionAndRatios(MeasurementData& data, const MeasurementSettings& settings)
{
    const int feeders = settings.LastFeeder + 1;
    const int maxOrder = settings.MaxHarmonicOrder;
    data.VoltHarmRss = 0.0f;
    data.VoltRatioMax = 1.0f;
    data.VoltRatioMaxHigh = 0.1f;
    data.VoltHarmRssPhase.fill(0.0f);
    for (int f = 0; f < feeders; ++f) {
        data.CurHarmRss[idx(f)] = 2.0f;
        data.CurRatioMax[idx(f)] = 2.0f;
        for (size_t c = 0; c < 3; ++c)
            data.CurHarmRssPhase(idx(f), c) = 0.0f;
    }
    const double voltFundamental = data.VoltByOrder[1];
    for (int k = 2; k <= maxOrder; ++k) {
        const size_t sk = idx(k);
        for (size_t c = 0; c < 3; ++c) {
            const double vMag = data.VoltMag(sk, c);
            addTo(data.VoltHarmRssPhase[c], vMag * vMag);
            for (int f = 0; f < feeders; ++f) {
                const double iMag = data.CurMag(idx(f), sk, c);
                addTo(data.CurHarmRssPhase(idx(f), c), iMag * iMag);
            }
        }
        const double v = data.VoltByOrder[sk];
        // No fundamental voltage: the ratio is 0 rather than a division by zero.
        const float ratio = voltFundamental != 0.0 ? rounded(v / voltFundamental * 100.0) : 0.0f;
        data.VoltRatio[sk] = ratio;
        addTo(data.VoltHarmRss, v * v);
        if (ratio > data.VoltRatioMax)
            data.VoltRatioMax = ratio;
        if (k > 49 && ratio > data.VoltRatioMaxHigh)
            data.VoltRatioMaxHigh = ratio;
    }
    for (int f = 0; f < feeders; ++f) {
        const size_t sf = idx(f);
        const double curFundamental = data.CurByOrder(sf, 1);
        if (curFundamental == 0.0)
            continue; // no current: ratios and angle keep their values
        const double powerFundamental = data.ActivePower(sf, 1);
        double hp = 0.0, hq = 0.0;
        for (int k = 2; k <= maxOrder; ++k) {
            const size_t sk = idx(k);
            const double i = data.CurByOrder(sf, sk);
            const float ratio = rounded(i / curFundamental * 100.0);
            data.CurRatio(sf, sk) = ratio;
            addTo(data.CurHarmRss[sf], i * i);
            if (ratio > data.CurRatioMax[sf])
                data.CurRatioMax[sf] = ratio;
            data.PowerRatio(sf, sk) =
                powerFundamental != 0.0
                    ? rounded(double(data.ActivePower(sf, sk)) / powerFundamental * 100.0)
                    : 0.0f;
            hp += data.ActivePower(sf, sk);
            hq += data.ReactivePower(sf, sk);
        }
        if (maxOrder >= 2)
            data.HarmPowerAngle[sf] = SuperpositionAngle(hp, hq);
    }
    for (size_t c = 0; c < 3; ++c) {
        data.VoltHarmRssPhase[c] = rounded(std::sqrt(double(data.VoltHarmRssPhase[c])));
        for (int f = 0; f < feeders; ++f)
            data.CurHarmRssPhase(idx(f), c) =
                rounded(std::sqrt(double(data.CurHarmRssPhase(idx(f), c))));
    }
    data.VoltHarmRss = rounded(std::sqrt(double(data.VoltHarmRss)));
    for (int f = 0; f < feeders; ++f)
        data.CurHarmRss[idx(f)] = rounded(std::sqrt(double(data.CurHarmRss[idx(f)])));
}

} // namespace

int AnalyseShot(MeasurementData& data, const MeasurementSettings& settings,
                const RecorderFacts& facts, int start, int end, EngineObserver& observer)
{
    if (!shotArraysFit(data, settings))
        return AnalysisNotSized;
    if (const int derived = DeriveChannels(data, settings); derived != AnalysisOk)
        return derived;
    const ShotScales scales = shotScales(data, settings, facts, end - start);

    observer.status(RunStatus::usual(QStringLiteral("ＦＦＴ演算中")));
    Clock::pumpEvents();
    if (const int st = harmonicComponents(data, settings, scales); st != AnalysisOk)
        return st;

    observer.status(RunStatus::usual(QStringLiteral("各種演算中")));
    Clock::pumpEvents();
    trueRms(data, settings, scales);
    perOrderQuantities(data, settings);
    distortionAndRatios(data, settings);
    return shotResultsFinite(data) ? AnalysisOk : AnalysisInvalidResult;
}

int AccumulateInterval(MeasurementData& data, const MeasurementSettings& settings,
                       std::int16_t& ShotCount, IntervalSelection& selection)
{
    if (!intervalArraysFit(data, settings))
        return AnalysisNotSized;
    const int feeders = settings.LastFeeder + 1;
    const int maxOrder = settings.MaxHarmonicOrder;

    const auto replace = [&] {
        for (int k = 1; k <= maxOrder; ++k) {
            const size_t sk = idx(k);
            data.IntVoltByOrder[sk] = data.VoltByOrder[sk];
            data.IntVoltSuperRe[sk] = data.VoltSuperRe[sk];
            data.IntVoltSuperIm[sk] = data.VoltSuperIm[sk];
            for (int f = 0; f < feeders; ++f) {
                const size_t sf = idx(f);
                data.IntCurByOrder(sf, sk) = data.CurByOrder(sf, sk);
                data.IntActivePower(sf, sk) = data.ActivePower(sf, sk);
                data.IntReactivePower(sf, sk) = data.ReactivePower(sf, sk);
                data.IntCurSuperRe(sf, sk) = data.CurSuperRe(sf, sk);
                data.IntCurSuperIm(sf, sk) = data.CurSuperIm(sf, sk);
            }
        }
        data.IntVoltRms = data.VoltRms;
        for (int f = 0; f < feeders; ++f)
            for (size_t c = 0; c < 3; ++c)
                data.IntCurRms(idx(f), c) = data.CurRms(idx(f), c);
        ShotCount = 1;
    };

    const int format = settings.SaveFormat();
    if (format == 0) {
        replace();
        return AnalysisOk;
    }
    if (format == 2 || format == 3) {
        const float distortion = format == 2 ? data.VoltHarmRss : data.CurHarmRss[0];
        if (ShotCount <= 0 || distortion > selection.Largest) {
            replace();
            selection.Largest = distortion;
        }
        return AnalysisOk;
    }

    if (ShotCount == 32767)
        return AnalysisOk; // the count cannot grow: keep the average of the counted shots
    const int lastOrder = settings.Orders256 ? std::min(256, maxOrder) : std::min(49, maxOrder);
    const int step = settings.Orders256 ? 1 : 2;
    for (int k = 1; k <= lastOrder; k += step) {
        const size_t sk = idx(k);
        addTo(data.IntVoltByOrder[sk], data.VoltByOrder[sk]);
        addTo(data.IntVoltSuperRe[sk], data.VoltSuperRe[sk]);
        addTo(data.IntVoltSuperIm[sk], data.VoltSuperIm[sk]);
        for (int f = 0; f < feeders; ++f) {
            const size_t sf = idx(f);
            addTo(data.IntCurByOrder(sf, sk), data.CurByOrder(sf, sk));
            addTo(data.IntActivePower(sf, sk), data.ActivePower(sf, sk));
            addTo(data.IntReactivePower(sf, sk), data.ReactivePower(sf, sk));
            addTo(data.IntCurSuperRe(sf, sk), data.CurSuperRe(sf, sk));
            addTo(data.IntCurSuperIm(sf, sk), data.CurSuperIm(sf, sk));
        }
    }
    for (size_t c = 0; c < 3; ++c) {
        addTo(data.IntVoltRms[c], data.VoltRms[c]);
        for (int f = 0; f < feeders; ++f)
            addTo(data.IntCurRms(idx(f), c), data.CurRms(idx(f), c));
    }
    ShotCount = static_cast<std::int16_t>(ShotCount + 1);
    return AnalysisOk;
}

} // namespace hs
