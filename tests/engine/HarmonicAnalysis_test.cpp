#include "engine/HarmonicAnalysis.h"
#include "support/RecordingObserver.h"

#include "model/EngineObserver.h"
#include "model/MeasurementData.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"
#include "model/RcComplement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <tuple>
#include <vector>

using namespace hs;

namespace {

using Complex = std::complex<double>; // (sine part, cosine part) of a harmonic component
constexpr double kPi = 3.14159265358979323846;
constexpr int kStart = 200;
constexpr int kEnd = 4200; // one 50 Hz period at 200 kHz

using hs::testing::RecordingObserver;

// A station's measurement state sized for one configuration; N = 1024 also takes the 256-order
// option, as the settings screen forces it.
struct Rig {
    MeasurementSettings settings;
    RecorderFacts facts;
    MeasurementData data;
    NullObserver observer;

    Rig(int type, int feeders, int n, bool orders256 = false)
    {
        settings.MeasureType() = static_cast<std::int16_t>(type);
        settings.LastFeeder = static_cast<std::int16_t>(feeders - 1);
        settings.SampleCount = static_cast<std::int16_t>(n);
        settings.SampleCountLog2 = static_cast<std::int16_t>(std::lround(std::log2(n)));
        if (orders256) {
            settings.SaveOption() = 4;
            settings.MaxHarmonicOrder = 256;
            settings.Orders256 = true;
        }
        data.sizeForPreparation(settings);
        data.sizeForMeasurement(settings);
        EXPECT_EQ(BuildTransformTables(data, settings), AnalysisOk);
        for (std::size_t k = 0; k < data.InputRange.size(); ++k)
            data.InputRange[k] = 0.5f + 0.25f * float(k);
    }
    int L() const { return settings.LastFeeder; }
    int K() const { return settings.MaxHarmonicOrder; }
    int N() const { return settings.SampleCount; }
    int analyse() { return AnalyseShot(data, settings, facts, kStart, kEnd, observer); }
    std::int16_t& wave(int channel, int i)
    {
        return data.WaveData(std::size_t(channel), std::size_t(i));
    }
};

// Synthetic channel: fundamental and harmonics of known amplitude (counts) and phase.
const std::vector<std::pair<int, double>> kHarmonics = {{1, 1500}, {2, 10},  {3, 120}, {5, 80},
                                                        {7, 40},   {11, 15}, {49, 5},  {97, 3}};

void fillSynthetic(Rig& rig, int channel)
{
    for (int i = 0; i <= rig.N(); ++i) {
        double x = 0;
        for (const auto& [h, amplitude] : kHarmonics)
            x += amplitude * std::sin(2 * kPi * h * i / rig.N() + 0.25 * channel + 0.6 * h);
        rig.wave(channel, i) = static_cast<std::int16_t>(std::lround(x));
    }
}

// Straightforward DFT of the samples actually analysed: the RMS component of order k in counts.
Complex referenceComponent(Rig& rig, int channel, int k)
{
    static std::map<int, std::vector<Complex>> unitCircles; // e^(j2πm/N), m = 0..N-1
    const int n = rig.N();
    std::vector<Complex>& unit = unitCircles[n];
    if (unit.empty())
        for (int m = 0; m < n; ++m)
            unit.push_back(std::polar(1.0, 2 * kPi * m / n));
    double s = 0, c = 0;
    for (int i = 0; i < n; ++i) {
        const Complex w = unit[std::size_t((k * i) % n)];
        s += rig.wave(channel, i) * w.imag();
        c += rig.wave(channel, i) * w.real();
    }
    return Complex(2 * s / n, 2 * c / n) / 1.41421;
}

void expectAngleNear(std::int16_t actual, double x, double y, const char* what, int k)
{
    double diff = actual - std::atan2(y, x) * 180 / kPi;
    diff -= 360 * std::round(diff / 360);
    EXPECT_LE(std::abs(diff), 1.0) << what << " at order " << k;
}

void expectNear(Complex actual, Complex expected, double tolerance, const char* what, int k)
{
    EXPECT_NEAR(actual.real(), expected.real(), tolerance) << what << " sin at order " << k;
    EXPECT_NEAR(actual.imag(), expected.imag(), tolerance) << what << " cos at order " << k;
}

using Configuration = std::tuple<int, int, int>; // MeasureType, feeders, N

class AgainstReferenceDft : public ::testing::TestWithParam<Configuration> {};

TEST_P(AgainstReferenceDft, ComponentsMagnitudesPowersAnglesAndRms)
{
    const int type = std::get<0>(GetParam());
    const int n = std::get<2>(GetParam());
    const int feeders = std::get<1>(GetParam());
    Rig rig(type, feeders, n, n == 1024);
    // Scale factors that differ per input, recorder 2 of ModelClass 2 for feeders 5..9, and a
    // V-connection mark on feeder 2, so a mix-up of inputs shows.
    rig.settings.PtRatio = 66;
    rig.facts.ModelClass[1] = 2;
    for (int f = 0; f <= rig.L(); ++f) {
        rig.settings.CtRatio[std::size_t(f)] = static_cast<std::int16_t>(f + 1);
        rig.settings.CurrentScale[std::size_t(f)] = 0.1f / float(f + 1) + 0.02f;
        if (f >= 4)
            rig.settings.InputRecorder[std::size_t(2 * f + 2)] = 1;
    }
    rig.settings.VConnection[1] = true;
    for (int ch = 0; ch < MeasurementData::channelCount(rig.L()); ++ch)
        fillSynthetic(rig, ch);
    ASSERT_EQ(rig.analyse(), AnalysisOk);

    const MeasurementData& d = rig.data;
    const int vl = d.VoltageLast;
    const double voltScale = rig.data.InputRange[0] / 80.0 * 66;
    const auto curScale = [&](int f) {
        const double cpd = f >= 4 ? 160.0 : 80.0;
        return rig.data.InputRange[std::size_t(2 * f + 2)] / cpd * (f + 1) /
               double(rig.settings.CurrentScale[std::size_t(f)]);
    };
    const double root3 = type == 3 ? std::sqrt(3.0) : 1.0;

    // Reference components, scaled, for every analysed phase.
    std::vector<std::vector<Complex>> v(3), cur(std::size_t(9 * 3));
    for (int c = 0; c <= vl; ++c) {
        for (int k = 0; k <= rig.K(); ++k)
            v[std::size_t(c)].push_back(referenceComponent(rig, c, k) * voltScale);
        for (int f = 0; f <= rig.L(); ++f)
            for (int k = 0; k <= rig.K(); ++k)
                cur[std::size_t(3 * f + c)].push_back(referenceComponent(rig, 3 * f + 3 + c, k) *
                                                      curScale(f));
    }
    const auto vAt = [&](int c, int k) { return v[std::size_t(c)][std::size_t(k)]; };
    const auto iAt = [&](int f, int c, int k) {
        return cur[std::size_t(3 * f + c)][std::size_t(k)];
    };

    for (int c = 0; c <= vl; ++c) {
        const std::size_t sc = std::size_t(c);
        const double vTol = 2e-5 * std::abs(vAt(c, 1));
        double magSquares = 0;
        for (int k = 1; k <= rig.K(); ++k) {
            const std::size_t sk = std::size_t(k);
            expectNear({d.VoltSin(sc, sk), d.VoltCos(sc, sk)}, vAt(c, k), vTol, "voltage", k);
            EXPECT_NEAR(d.VoltMag(sk, sc), std::abs(vAt(c, k)), vTol) << "order " << k;
            magSquares += double(d.VoltMag(sk, sc)) * d.VoltMag(sk, sc);
        }
        EXPECT_NEAR(d.VoltRms[sc], std::sqrt(magSquares), 1e-4 * d.VoltRms[sc]);
        double phaseDiff = d.VoltPhase1[sc] - std::arg(vAt(c, 1));
        phaseDiff -= 2 * kPi * std::round(phaseDiff / (2 * kPi));
        EXPECT_NEAR(phaseDiff, 0.0, 1e-4);
        for (int f = 0; f <= rig.L(); ++f) {
            const std::size_t sf = std::size_t(f);
            const double iTol = 2e-5 * std::abs(iAt(f, c, 1));
            double curSquares = 0;
            for (int k = 1; k <= rig.K(); ++k) {
                const std::size_t sk = std::size_t(k);
                // MeasureType 3 keeps the measured magnitude but √3 times the components.
                expectNear({d.CurSin(sf, sc, sk), d.CurCos(sf, sc, sk)}, iAt(f, c, k) * root3,
                           iTol * root3, "current", k);
                EXPECT_NEAR(d.CurMag(sf, sk, sc), std::abs(iAt(f, c, k)), iTol) << "order " << k;
                curSquares += double(d.CurMag(sf, sk, sc)) * d.CurMag(sf, sk, sc);
            }
            EXPECT_NEAR(d.CurRms(sf, sc), std::sqrt(curSquares), 1e-4 * d.CurRms(sf, sc));
        }
    }

    // Per-order means, powers and superposition sums against the reference.
    for (const auto& [k, amplitude] : kHarmonics) {
        if (k > rig.K())
            continue;
        const std::size_t sk = std::size_t(k);
        Complex vSuper = 0;
        double vMean = 0;
        for (int c = 0; c <= vl; ++c) {
            vMean += std::abs(vAt(c, k)) / (vl + 1);
            vSuper += vAt(c, k) * std::polar(1.0, -k * std::arg(vAt(c, 1)));
        }
        const double vTol = 1e-4 * std::abs(vAt(0, 1));
        EXPECT_NEAR(d.VoltByOrder[sk], vMean, vTol);
        EXPECT_NEAR(d.VoltSuperRe[sk], vSuper.real(), vTol) << "order " << k;
        EXPECT_NEAR(d.VoltSuperIm[sk], vSuper.imag(), vTol) << "order " << k;
        expectAngleNear(d.VoltSuperAngle[sk], vSuper.real(), vSuper.imag(), "VoltSuperAngle", k);
        if (k >= 2) {
            EXPECT_NEAR(d.VoltRatio[sk], vMean / d.VoltByOrder[1] * 100, 1e-3);
        }
        for (int f = 0; f <= rig.L(); ++f) {
            const std::size_t sf = std::size_t(f);
            double iMean = 0, p = 0, q = 0;
            Complex iSuper = 0;
            for (int c = 0; c <= vl; ++c)
                iMean += std::abs(iAt(f, c, k)) / (vl + 1);
            for (int e = 0; e <= d.ElementLast; ++e) {
                const Complex i = iAt(f, e, k) * root3;
                const Complex vk = vAt(e, k);
                p += i.real() * vk.real() + i.imag() * vk.imag();
                q += i.imag() * vk.real() - i.real() * vk.imag();
                iSuper += i * std::polar(1.0, -k * std::arg(vAt(e, 1)));
            }
            const double iTol = 1e-4 * std::abs(iAt(f, 0, 1)) * root3;
            const double pTol = 1e-4 * std::abs(vAt(0, 1)) * std::abs(iAt(f, 0, 1)) * root3 * 2;
            EXPECT_NEAR(d.CurByOrder(sf, sk), iMean, iTol);
            EXPECT_NEAR(d.ActivePower(sf, sk), p, pTol) << "feeder " << f << " order " << k;
            EXPECT_NEAR(d.ReactivePower(sf, sk), q, pTol) << "feeder " << f << " order " << k;
            EXPECT_NEAR(d.CurSuperRe(sf, sk), iSuper.real(), iTol);
            EXPECT_NEAR(d.CurSuperIm(sf, sk), iSuper.imag(), iTol);
            expectAngleNear(d.PowerAngle(sf, sk), p, q, "PowerAngle", k);
            expectAngleNear(d.CurSuperAngle(sf, sk), iSuper.real(), iSuper.imag(), "CurSuperAngle",
                            k);
        }
    }

    // Distortion sums: the root of the harmonic squares (the current's with its start value 2).
    double vHarm = 0;
    for (int k = 2; k <= rig.K(); ++k)
        vHarm += double(d.VoltByOrder[std::size_t(k)]) * d.VoltByOrder[std::size_t(k)];
    EXPECT_NEAR(d.VoltHarmRss, std::sqrt(vHarm), 1e-5 * std::sqrt(vHarm));
    double iHarm = 2.0;
    for (int k = 2; k <= rig.K(); ++k)
        iHarm += double(d.CurByOrder(0, std::size_t(k))) * d.CurByOrder(0, std::size_t(k));
    EXPECT_NEAR(d.CurHarmRss[0], std::sqrt(iHarm), 1e-5 * std::sqrt(iHarm));
    EXPECT_NEAR(d.VoltRatioMax, d.VoltRatio[3], 1e-6); // order 3 is the largest harmonic
}

INSTANTIATE_TEST_SUITE_P(AllTypesFeedersAndLengths, AgainstReferenceDft,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 4),
                                            ::testing::Values(1, 9),
                                            ::testing::Values(256, 512, 1024)));

TEST(TransformTables, BitReversalAndTwiddles)
{
    for (const int n : {256, 512, 1024}) {
        Rig rig(0, 1, n);
        const std::vector<std::int16_t>& rev = rig.data.BitReverse;
        std::vector<bool> seen(std::size_t(n), false);
        for (int j = 0; j < n; ++j) {
            ASSERT_GE(rev[std::size_t(j)], 0);
            ASSERT_LT(rev[std::size_t(j)], n);
            seen[std::size_t(rev[std::size_t(j)])] = true;
            EXPECT_EQ(rev[std::size_t(rev[std::size_t(j)])], j) << "reversal is an involution";
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), true), n);
        EXPECT_EQ(rev[std::size_t(n)], 0);
        EXPECT_EQ(rig.data.TwiddleCos[0], 1.0f);
        EXPECT_NEAR(rig.data.TwiddleSin[std::size_t(n / 4)], -1.0f, 1e-6);
        EXPECT_NEAR(rig.data.TwiddleCos[std::size_t(n / 2)], -1.0f, 1e-6);
        if (n == 512) {
            const std::vector<std::int16_t> start(rev.begin(), rev.begin() + 5);
            EXPECT_EQ(start, (std::vector<std::int16_t>{0, 256, 128, 384, 64}));
        }
    }
}

TEST(AnalyseShot, SineOnVoltagePhaseZero)
{
    Rig rig(0, 1, 512);
    for (int i = 0; i <= 512; ++i)
        rig.wave(0, i) = static_cast<std::int16_t>(std::lround(1000 * std::sin(2 * kPi * i / 512)));
    RecordingObserver observer;
    ASSERT_EQ(AnalyseShot(rig.data, rig.settings, rig.facts, kStart, kEnd, observer), AnalysisOk);
    EXPECT_EQ(observer.statuses,
              (QStringList{QStringLiteral("ＦＦＴ演算中"), QStringLiteral("各種演算中")}));
    const double scale = rig.data.InputRange[0] / 80.0 * 60;
    // The samples are whole counts: the rounding costs about 1e-5 of the amplitude.
    const double expected = 1000 * scale / 1.41421;
    EXPECT_NEAR(rig.data.VoltSin(0, 1), expected, 5e-5 * expected);
    EXPECT_NEAR(rig.data.VoltCos(0, 1), 0.0, 5e-5 * expected);
    EXPECT_NEAR(rig.data.VoltPhase1[0], 0.0, 1e-6);
    EXPECT_FLOAT_EQ(rig.data.VoltByOrder[1], rig.data.VoltSin(0, 1));
    // A pure sine has no harmonics; the fundamental-referred sum lies on the sine axis.
    EXPECT_LT(rig.data.VoltHarmRss, 5e-4 * expected);
    EXPECT_NEAR(rig.data.VoltSin(3, 1), rig.data.VoltSin(0, 1), 1e-6 * expected);
}

TEST(AnalyseShot, FundamentalReferredSlotsSumOverShots)
{
    Rig rig(0, 1, 512);
    fillSynthetic(rig, 0);
    fillSynthetic(rig, 3);
    ASSERT_EQ(rig.analyse(), AnalysisOk);
    ASSERT_EQ(rig.analyse(), AnalysisOk);
    const MeasurementData& d = rig.data;
    // With one phase and one element the referred vector of a shot is the superposition sum.
    for (const std::size_t k : {1u, 3u, 5u, 49u}) {
        const double tol = 1e-4 * d.VoltByOrder[1];
        EXPECT_NEAR(d.VoltSin(3, k), 2 * d.VoltSuperRe[k], tol) << k;
        EXPECT_NEAR(d.VoltCos(3, k), 2 * d.VoltSuperIm[k], tol) << k;
        EXPECT_NEAR(d.CurSin(0, 3, k), 2 * d.CurSuperRe(0, k), 1e-4 * d.CurByOrder(0, 1)) << k;
        EXPECT_NEAR(d.CurCos(0, 3, k), 2 * d.CurSuperIm(0, k), 1e-4 * d.CurByOrder(0, 1)) << k;
    }
    EXPECT_NEAR(d.VoltCos(3, 1), 0.0, 1e-4 * d.VoltByOrder[1]);
}

TEST(AnalyseShot, RcComplementScalesComponentsButNotRms)
{
    Rig plain(1, 2, 512), filtered(1, 2, 512);
    for (Rig* rig : {&plain, &filtered})
        for (int ch = 0; ch < MeasurementData::channelCount(rig->L()); ++ch)
            fillSynthetic(*rig, ch);
    filtered.settings.RcRows[0] = RcRow{true, "1", "0.1"};
    filtered.settings.RcRows[2] = RcRow{true, "2.2", "0.047"};
    filtered.settings.RcRows[1] = RcRow{true, "0", "0.1"}; // unusable: counts as unticked
    ASSERT_EQ(plain.analyse(), AnalysisOk);
    ASSERT_EQ(filtered.analyse(), AnalysisOk);
    const MeasurementData& a = plain.data;
    const MeasurementData& b = filtered.data;
    for (const std::size_t k : {1u, 2u, 3u, 50u, 99u}) {
        const float fv = rcComplementFactor(filtered.settings.RcRows[0], int(k), kEnd - kStart);
        const float f2 = rcComplementFactor(filtered.settings.RcRows[2], int(k), kEnd - kStart);
        for (std::size_t c = 0; c < 2; ++c) {
            EXPECT_FLOAT_EQ(b.VoltCos(c, k), a.VoltCos(c, k) * fv) << k;
            EXPECT_FLOAT_EQ(b.VoltSin(c, k), a.VoltSin(c, k) * fv) << k;
            EXPECT_FLOAT_EQ(b.CurMag(0, k, c), a.CurMag(0, k, c)) << k;
            EXPECT_NEAR(b.CurMag(1, k, c), a.CurMag(1, k, c) * f2, 1e-6 * b.CurMag(1, k, c)) << k;
        }
    }
    EXPECT_EQ(b.VoltRms, a.VoltRms);
    EXPECT_EQ(b.CurRms(1, 0), a.CurRms(1, 0));
}

// A CT wired with reversed polarity (negative ratio) turns the current phasors: the components
// and the power change sign, while RMS values stay the same positive magnitudes.
TEST(AnalyseShot, NegativeCtRatioTurnsThePhasorsButNotTheRms)
{
    Rig forward(1, 1, 512), reversed(1, 1, 512);
    for (Rig* rig : {&forward, &reversed})
        for (int ch = 0; ch < MeasurementData::channelCount(rig->L()); ++ch)
            fillSynthetic(*rig, ch);
    forward.settings.CtRatio[0] = 5;
    reversed.settings.CtRatio[0] = -5;
    ASSERT_EQ(forward.analyse(), AnalysisOk);
    ASSERT_EQ(reversed.analyse(), AnalysisOk);
    const MeasurementData& a = forward.data;
    const MeasurementData& b = reversed.data;
    EXPECT_GT(b.CurRms(0, 0), 0.0f);
    EXPECT_EQ(b.CurRms(0, 0), a.CurRms(0, 0));
    EXPECT_EQ(b.CurRms(0, 1), a.CurRms(0, 1));
    EXPECT_FLOAT_EQ(b.CurCos(0, 0, 1), -a.CurCos(0, 0, 1));
    EXPECT_FLOAT_EQ(b.CurSin(0, 0, 1), -a.CurSin(0, 0, 1));
    EXPECT_FLOAT_EQ(b.ActivePower(0, 1), -a.ActivePower(0, 1));
}

TEST(AnalyseShot, FeederWithoutCurrentKeepsItsRatiosAndRootTwo)
{
    Rig rig(0, 2, 512);
    fillSynthetic(rig, 0);
    fillSynthetic(rig, 3); // feeder 0 carries current, feeder 1 none
    for (std::size_t k = 0; k <= 99; ++k) {
        rig.data.CurRatio(1, k) = 7.0f;
        rig.data.PowerRatio(1, k) = 8.0f;
    }
    rig.data.HarmPowerAngle[1] = 33;
    ASSERT_EQ(rig.analyse(), AnalysisOk);
    EXPECT_FLOAT_EQ(rig.data.CurHarmRss[1], std::sqrt(2.0f));
    EXPECT_EQ(rig.data.CurRatioMax[1], 2.0f);
    EXPECT_EQ(rig.data.CurRatio(1, 3), 7.0f);
    EXPECT_EQ(rig.data.PowerRatio(1, 3), 8.0f);
    EXPECT_EQ(rig.data.HarmPowerAngle[1], 33);
    EXPECT_NE(rig.data.CurRatio(0, 3), 7.0f);
}

TEST(AnalyseShot, ZeroFundamentalGivesZeroRatiosWithoutStopping)
{
    Rig rig(0, 1, 256);
    fillSynthetic(rig, 3); // current but no voltage: no voltage and no active power
    ASSERT_EQ(rig.analyse(), AnalysisOk);
    EXPECT_EQ(rig.data.VoltByOrder[1], 0.0f);
    EXPECT_EQ(rig.data.ActivePower(0, 1), 0.0f);
    for (std::size_t k = 2; k <= 99; ++k) {
        EXPECT_EQ(rig.data.VoltRatio[k], 0.0f);
        EXPECT_EQ(rig.data.PowerRatio(0, k), 0.0f);
    }
    EXPECT_EQ(rig.data.VoltRatioMax, 1.0f);
    EXPECT_EQ(rig.data.VoltRatioMaxHigh, 0.1f);
    EXPECT_GT(rig.data.CurRatio(0, 3), 7.0f); // 120 / 1500 counts
}

TEST(AnalyseShot, RefusesInvalidScalesAndUnsizedArrays)
{
    Rig zeroScale(0, 1, 256);
    fillSynthetic(zeroScale, 3);
    zeroScale.settings.CurrentScale[0] = 0.0f;
    EXPECT_EQ(zeroScale.analyse(), AnalysisInvalidResult);

    Rig resized(0, 1, 256);
    resized.settings.LastFeeder = 2; // settings changed after the arrays were sized
    EXPECT_EQ(resized.analyse(), AnalysisNotSized);
    Rig orders(0, 1, 256);
    orders.settings.MaxHarmonicOrder = 256;
    EXPECT_EQ(orders.analyse(), AnalysisNotSized);
}

TEST(Angles, FundamentalAndSuperpositionRules)
{
    EXPECT_FLOAT_EQ(FundamentalAngle(1, 1), float(kPi / 4));
    EXPECT_FLOAT_EQ(FundamentalAngle(-1, 1), float(-kPi / 4 + 3.1415926));
    EXPECT_FLOAT_EQ(FundamentalAngle(-1, -1), float(kPi / 4 - 3.1415926));
    EXPECT_FLOAT_EQ(FundamentalAngle(0, 1), float(kPi / 2));
    EXPECT_EQ(SuperpositionAngle(-1, 1), 135);
    EXPECT_EQ(SuperpositionAngle(-1, -1), -135);
    EXPECT_EQ(SuperpositionAngle(-1, 0), -180);
    EXPECT_EQ(SuperpositionAngle(0, 1), 90);
    EXPECT_EQ(SuperpositionAngle(0, 0), 0);
    // 180 / 3.14 degrees per radian: atan(1) gives 45.0228, atan(y/x) = 0.5 rad 28.66 -> 29.
    EXPECT_EQ(SuperpositionAngle(1, std::tan(0.5)), 29);
    EXPECT_EQ(SuperpositionAngle(-1e-20, 0), 0); // 0 / 0: no angle, not a crash
}

// The stored numbers follow the fixed constants, not their exact values: 1.41421 for the peak to
// RMS factor, 3.14159 in VoltPhase1, 180 / 3.14 for degrees. Each case lies where the exact
// constant would give a different float or a different whole degree.
TEST(Angles, FixedConstantsNotExactOnes)
{
    // 1.5619 rad: 89.536 degrees with 3.14, 89.490 with pi.
    EXPECT_EQ(SuperpositionAngle(1, std::tan(1.5619)), 90);

    Rig rig(0, 1, 512);
    for (int i = 0; i <= 512; ++i) {
        rig.wave(0, i) = static_cast<std::int16_t>(std::lround(-900 * std::sin(2 * kPi * i / 512)));
        rig.wave(3, i) = static_cast<std::int16_t>(std::lround(
            700 * std::sin(2 * kPi * i / 512 + 0.3) + 90 * std::sin(6 * kPi * i / 512)));
    }
    ASSERT_EQ(rig.analyse(), AnalysisOk);
    const MeasurementData& d = rig.data;
    // A negative sine: VoltPhase1 = atan(cos / sin) + 3.14159.
    ASSERT_LT(d.VoltSin(0, 1), 0.0f);
    const double ratio = std::atan(double(d.VoltCos(0, 1)) / (double(d.VoltSin(0, 1)) + 1e-20));
    EXPECT_FLOAT_EQ(d.VoltPhase1[0], float(ratio + 3.14159));
    EXPECT_GT(std::abs(d.VoltPhase1[0] - float(ratio + kPi)), 1e-6);
    // The spectrum left behind is the current's (the last transform): its components are the
    // bins times the scale over 1.41421.
    ASSERT_EQ(d.FftChannel, 3);
    const double scale = double(d.InputRange[2]) / 80 * rig.settings.CtRatio[0] /
                         double(rig.settings.CurrentScale[0]);
    for (const int k : {1, 3}) {
        const std::size_t sk = std::size_t(k), nk = std::size_t(512 - k);
        const double re = double(d.FftReal[nk]) + d.FftReal[sk];
        const double im = double(d.FftImag[nk]) - d.FftImag[sk];
        EXPECT_FLOAT_EQ(d.CurCos(0, 0, sk), float(re * scale / 1.41421)) << k;
        EXPECT_FLOAT_EQ(d.CurSin(0, 0, sk), float(im * scale / 1.41421)) << k;
        EXPECT_GT(std::abs(d.CurSin(0, 0, sk) - float(im * scale / std::sqrt(2.0))),
                  1e-6 * std::abs(d.CurSin(0, 0, sk)))
            << k;
    }
}

// DeriveChannels: {MeasureType, voltage counts a b, feeder counts x y} -> derived channels.
struct DeriveCase {
    int type;
    std::int16_t a, b, x, y;
    std::vector<std::int16_t> voltage; // channels 0, 1, 2
    std::vector<std::int16_t> plain;   // feeder without the V-connection mark
    std::vector<std::int16_t> marked;  // feeder with it
};

class Derive : public ::testing::TestWithParam<DeriveCase> {};

TEST_P(Derive, WorkedCounts)
{
    const DeriveCase& t = GetParam();
    Rig rig(t.type, 2, 256);
    rig.settings.VConnection[1] = true;
    for (int i = 0; i <= 256; ++i) {
        rig.wave(0, i) = t.a;
        rig.wave(1, i) = t.b;
        rig.wave(2, i) = 999;
        for (const int c : {3, 6}) {
            rig.wave(c, i) = t.x;
            rig.wave(c + 1, i) = t.y;
            rig.wave(c + 2, i) = 999;
        }
    }
    ASSERT_EQ(DeriveChannels(rig.data, rig.settings), AnalysisOk);
    for (const int i : {0, 100, 256}) {
        EXPECT_EQ((std::vector<std::int16_t>{rig.wave(0, i), rig.wave(1, i), rig.wave(2, i)}),
                  t.voltage);
        EXPECT_EQ((std::vector<std::int16_t>{rig.wave(3, i), rig.wave(4, i), rig.wave(5, i)}),
                  t.plain);
        EXPECT_EQ((std::vector<std::int16_t>{rig.wave(6, i), rig.wave(7, i), rig.wave(8, i)}),
                  t.marked);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, Derive,
    ::testing::Values(DeriveCase{2, 100, 40, 30, 50, {100, 40, 60}, {30, 50, 80}, {30, 50, -20}},
                      DeriveCase{4, 100, 40, 30, 50, {53, -7, -47}, {30, 50, -80}, {3, 23, -27}},
                      DeriveCase{0, 100, 40, 30, 50, {100, 40, 999}, {30, 50, 999}, {30, 50, 999}},
                      DeriveCase{1, 100, 40, 30, 50, {100, 40, 999}, {30, 50, 999}, {30, 50, 999}},
                      DeriveCase{
                          3, 100, 40, 30, 50, {100, 40, 999}, {30, 50, 999}, {30, 50, 999}}));

TEST(DeriveChannelsRange, TwelveBitSamplesNeverOverflowAndLargerOnesAreReported)
{
    const std::vector<std::int16_t> extremes = {-4095, -2048, -1, 0, 1, 2047, 4095};
    for (const int type : {2, 4}) {
        for (const std::int16_t a : extremes) {
            for (const std::int16_t b : extremes) {
                Rig rig(type, 2, 256);
                rig.settings.VConnection[1] = true;
                for (const int c : {0, 3, 6}) {
                    rig.wave(c, 0) = a;
                    rig.wave(c + 1, 0) = b;
                }
                ASSERT_EQ(DeriveChannels(rig.data, rig.settings), AnalysisOk) << a << " " << b;
                for (const int c : {0, 6}) { // re-based (type 4) or differenced (type 2)
                    const int x = rig.wave(c, 0), y = rig.wave(c + 1, 0), z = rig.wave(c + 2, 0);
                    if (type == 2) {
                        EXPECT_EQ(z, a - b);
                    } else {
                        EXPECT_EQ(x - y, a - b);
                        EXPECT_EQ(x - a, z);
                        EXPECT_LE(std::abs(x + y + z), 1);
                    }
                }
                EXPECT_EQ(rig.wave(5, 0), type == 2 ? a + b : -(a + b));
            }
        }
    }
    Rig rig(2, 1, 256);
    rig.wave(3, 7) = 30000;
    rig.wave(4, 7) = 30000;
    rig.wave(5, 7) = 5;
    EXPECT_EQ(DeriveChannels(rig.data, rig.settings), AnalysisOverflow);
    EXPECT_EQ(rig.wave(5, 7), 5) << "never wrapped";
}

// ---- Interval accumulation ----

// A recognisable value for every per-shot entry: shot tag, array id, feeder, order.
float tagged(int tag, int array, int f, int k)
{
    return float(tag * (array + 1)) + 0.01f * float(k) + 10.0f * float(f);
}

void fillShot(Rig& rig, int tag, float distortion = 0)
{
    MeasurementData& d = rig.data;
    for (int k = 1; k <= rig.K(); ++k) {
        const std::size_t sk = std::size_t(k);
        d.VoltByOrder[sk] = tagged(tag, 0, 0, k);
        d.VoltSuperRe[sk] = tagged(tag, 1, 0, k);
        d.VoltSuperIm[sk] = tagged(tag, 2, 0, k);
        for (int f = 0; f <= rig.L(); ++f) {
            const std::size_t sf = std::size_t(f);
            d.CurByOrder(sf, sk) = tagged(tag, 3, f, k);
            d.ActivePower(sf, sk) = tagged(tag, 4, f, k);
            d.ReactivePower(sf, sk) = tagged(tag, 5, f, k);
            d.CurSuperRe(sf, sk) = tagged(tag, 6, f, k);
            d.CurSuperIm(sf, sk) = tagged(tag, 7, f, k);
        }
    }
    for (std::size_t c = 0; c < 3; ++c) {
        d.VoltRms[c] = tagged(tag, 8, 0, int(c));
        for (std::size_t f = 0; f < 9; ++f)
            d.CurRms(f, c) = tagged(tag, 9, int(f), int(c));
    }
    d.VoltHarmRss = distortion;
    d.CurHarmRss[0] = distortion;
}

// The interval entry of array id at (f, k), for comparison with tagged sums.
float intervalEntry(const MeasurementData& d, int array, int f, int k)
{
    const std::size_t sf = std::size_t(f), sk = std::size_t(k);
    switch (array) {
    case 0:
        return d.IntVoltByOrder[sk];
    case 1:
        return d.IntVoltSuperRe[sk];
    case 2:
        return d.IntVoltSuperIm[sk];
    case 3:
        return d.IntCurByOrder(sf, sk);
    case 4:
        return d.IntActivePower(sf, sk);
    case 5:
        return d.IntReactivePower(sf, sk);
    case 6:
        return d.IntCurSuperRe(sf, sk);
    default:
        return d.IntCurSuperIm(sf, sk);
    }
}

// Expects the interval record to hold the sum of the tagged shots at the orders of `orders`
// and 0 at the others.
void expectRecord(const Rig& rig, const std::vector<int>& tags, const std::vector<bool>& orders)
{
    for (int k = 1; k <= rig.K(); ++k)
        for (int array = 0; array < 8; ++array)
            for (int f = 0; f <= (array < 3 ? 0 : rig.L()); ++f) {
                double expected = 0;
                if (orders[std::size_t(k)])
                    for (const int tag : tags)
                        expected += tagged(tag, array, f, k);
                ASSERT_NEAR(intervalEntry(rig.data, array, f, k), expected, 1e-3)
                    << "array " << array << " feeder " << f << " order " << k;
            }
    for (std::size_t c = 0; c < 3; ++c) {
        double v = 0, i = 0;
        for (const int tag : tags) {
            v += tagged(tag, 8, 0, int(c));
            i += tagged(tag, 9, rig.L(), int(c));
        }
        EXPECT_NEAR(rig.data.IntVoltRms[c], v, 1e-3);
        EXPECT_NEAR(rig.data.IntCurRms(std::size_t(rig.L()), c), i, 1e-3);
        EXPECT_EQ(rig.data.IntCurRms(std::size_t(rig.L()) + 1, c), 0.0f) << "rows above L stay 0";
    }
}

std::vector<bool> orderSet(int maxOrder, bool all, int last)
{
    std::vector<bool> set(std::size_t(maxOrder) + 1, false);
    for (int k = 1; k <= last; k += all ? 1 : 2)
        set[std::size_t(k)] = true;
    return set;
}

class AddingFormats : public ::testing::TestWithParam<int> {};

TEST_P(AddingFormats, SumTheOrderSetAndCountShots)
{
    for (const bool all : {false, true}) {
        Rig rig(0, 3, all ? 1024 : 512, all);
        rig.settings.SaveFormat() = static_cast<std::int16_t>(GetParam());
        IntervalSelection selection;
        for (const int tag : {1, 2, 4}) {
            fillShot(rig, tag);
            ASSERT_EQ(AccumulateInterval(rig.data, rig.settings, rig.data.ShotCount, selection),
                      AnalysisOk);
        }
        EXPECT_EQ(rig.data.ShotCount, 3);
        const std::vector<bool> set = orderSet(rig.K(), all, all ? 256 : 49);
        EXPECT_EQ(std::count(set.begin(), set.end(), true), all ? 256 : 25);
        expectRecord(rig, {1, 2, 4}, set);
    }
}

INSTANTIATE_TEST_SUITE_P(SaveFormats, AddingFormats, ::testing::Values(1, 7, -1));

TEST(AccumulateInterval, LastShotFormatReplacesEveryOrder)
{
    Rig rig(0, 2, 512);
    rig.settings.SaveFormat() = 0;
    IntervalSelection selection;
    for (const int tag : {1, 2, 4}) {
        fillShot(rig, tag);
        AccumulateInterval(rig.data, rig.settings, rig.data.ShotCount, selection);
    }
    EXPECT_EQ(rig.data.ShotCount, 1);
    expectRecord(rig, {4}, orderSet(rig.K(), true, rig.K()));
}

class MaximumDistortionFormats : public ::testing::TestWithParam<int> {};

TEST_P(MaximumDistortionFormats, KeepTheShotOfLargestDistortionSinceTheLastSave)
{
    Rig rig(0, 2, 512);
    rig.settings.SaveFormat() = static_cast<std::int16_t>(GetParam());
    IntervalSelection selection;
    const auto shot = [&](int tag, float distortion) {
        fillShot(rig, tag, distortion);
        AccumulateInterval(rig.data, rig.settings, rig.data.ShotCount, selection);
    };
    const std::vector<bool> all = orderSet(rig.K(), true, rig.K());
    shot(1, 3.0f);
    shot(2, 5.0f);
    shot(3, 4.0f);
    EXPECT_EQ(rig.data.ShotCount, 1);
    expectRecord(rig, {2}, all);

    // A save clears the record and the count; the next interval starts afresh, even below the
    // previous maximum and even with no distortion at all.
    rig.data.ShotCount = 0;
    rig.data.sizeForMeasurement(rig.settings);
    shot(5, 0.0f);
    EXPECT_EQ(rig.data.ShotCount, 1);
    expectRecord(rig, {5}, all);
    shot(6, 1.0f);
    shot(7, 0.5f);
    expectRecord(rig, {6}, all);
}

INSTANTIATE_TEST_SUITE_P(SaveFormats, MaximumDistortionFormats, ::testing::Values(2, 3));

TEST(AccumulateInterval, CountStopsAtTheInt16Limit)
{
    Rig rig(0, 1, 256);
    IntervalSelection selection;
    fillShot(rig, 1);
    rig.data.ShotCount = 32766;
    AccumulateInterval(rig.data, rig.settings, rig.data.ShotCount, selection);
    EXPECT_EQ(rig.data.ShotCount, 32767);
    const float sum = rig.data.IntVoltByOrder[1];
    AccumulateInterval(rig.data, rig.settings, rig.data.ShotCount, selection);
    EXPECT_EQ(rig.data.ShotCount, 32767);
    EXPECT_EQ(rig.data.IntVoltByOrder[1], sum);
}

} // namespace
