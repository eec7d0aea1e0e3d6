#include "render/Waveforms.h"

#include "render/Canvas.h"
#include "render/ResultValues.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace hs {

namespace {

// Beyond this a trace of nothing but rounding would look like distortion.
constexpr double kLargestMagnification = 100;

// The fundamental taken from a distortion trace: peak sine and cosine parts in counts.
struct Fundamental {
    double sine = 0;
    double cosine = 0;
};

Fundamental fundamentalOf(const MeasurementData& data, const WaveformPanel& panel, int ch)
{
    if (panel.current)
        return {valueAt(data.CurFundRawSin, ch, panel.phase),
                valueAt(data.CurFundRawCos, ch, panel.phase)};
    return {valueAt(data.VoltFundRawSin, panel.phase), valueAt(data.VoltFundRawCos, panel.phase)};
}

QString unitOf(const WaveformPanel& panel)
{
    return panel.current ? QStringLiteral("A") : QStringLiteral("V");
}

// The samples 0..last of a panel's channel, with the fundamental taken away when one is given.
std::vector<double> traceOf(const MeasurementData& data, const WaveformPanel& panel, int n,
                            int last, std::optional<Fundamental> fundamental)
{
    std::vector<double> out;
    for (int i = 0; i <= last; ++i) {
        double s = valueAt(data.WaveData, panel.channel, i);
        if (fundamental) {
            const double theta = i * 6.28318 / n;
            s -= fundamental->sine * std::sin(theta) + fundamental->cosine * std::cos(theta);
        }
        out.push_back(s);
    }
    return out;
}

double top(const WaveformPanel& panel)
{
    return panel.base - kWaveformHalfHeight;
}

double bottom(const WaveformPanel& panel)
{
    return panel.base + kWaveformHalfHeight;
}

double right(const WaveformPanel& panel)
{
    return panel.left + kWaveformPanelWidth;
}

// The frame, the dotted division lines and the zero line of a panel.
void drawFrame(Canvas& canvas, const WaveformPanel& panel)
{
    const QColor grid = GridGrey();
    const QColor colour = canvas.colour();
    canvas.setColour(grid);
    canvas.box({panel.left, top(panel)}, {right(panel), bottom(panel)});
    canvas.setLineStyle(LineStyle::Dotted);
    const double division = kWaveformHalfHeight / kWaveformDivisions;
    for (int k = 1 - kWaveformDivisions; k < kWaveformDivisions; ++k)
        canvas.line({panel.left, panel.base + k * division}, {right(panel), panel.base + k * division},
                    grid);
    canvas.setLineStyle(LineStyle::Solid);
    canvas.setColour(colour);
}

// A trace of the panel at perCount units of height per count, in the given colour after a
// first point in the current one. A value past the frame (a shot that overflows its range)
// ends at the frame.
void drawTrace(Canvas& canvas, const WaveformPanel& panel, const std::vector<double>& samples,
               int n, double perCount, std::optional<QColor> colour)
{
    const auto y = [&](std::size_t i) {
        return std::clamp(panel.base - samples[i] * perCount, top(panel), bottom(panel));
    };
    canvas.point({panel.left, y(0)});
    for (std::size_t i = 1; i < samples.size(); ++i)
        canvas.lineTo({panel.left + kWaveformPanelWidth * double(i) / n, y(i)}, colour);
}

// One panel of the input or the distortion view. A panel whose channel holds no samples or
// whose input's range is unknown (never set up) shows its frame and label only.
void drawPanel(Canvas& canvas, const MeasurementSettings& settings, const MeasurementData& data,
               const WaveformPanel& panel, int ch, bool distortion)
{
    drawFrame(canvas, panel);
    canvas.PrintAt({panel.left, panel.labelY}, panel.label, TextAnchor::LeftMiddle);
    const int n = settings.SampleCount;
    const double range = valueAt(data.InputRange, panel.rangeInput);
    if (n < 1 || !std::isfinite(range) || !(range > 0) || !holds(data.WaveData, panel.channel, 0))
        return;
    const int last = std::min(n, static_cast<int>(data.WaveData.dim1()) - 1);
    const PanelScale scale =
        InputPanelScale(WaveformRowValuePerCount(settings, data, panel.current),
                        WaveformValuePerCount(settings, data, panel, ch));
    if (!distortion) {
        if (scale.perDivision)
            canvas.PrintAt({right(panel), panel.labelY},
                           PerDivisionText(*scale.perDivision, unitOf(panel)),
                           TextAnchor::RightMiddle);
        drawTrace(canvas, panel, traceOf(data, panel, n, last, std::nullopt), n, scale.perCount,
                  std::nullopt);
        return;
    }
    const std::vector<double> samples =
        traceOf(data, panel, n, last, fundamentalOf(data, panel, ch));
    double peak = 0;
    for (const double s : samples)
        if (std::isfinite(s))
            peak = std::max(peak, std::abs(s));
    const double magnification = DistortionMagnification(peak, scale.perCount);
    QString caption = QStringLiteral("歪み×%1").arg(magnification);
    if (scale.perDivision)
        caption += QLatin1Char(' ') +
                   PerDivisionText(*scale.perDivision / magnification, unitOf(panel));
    const QColor colour = canvas.colour();
    canvas.setColour(palette::LightRed);
    canvas.PrintAt({right(panel), panel.labelY + kWaveformLineHeight}, caption,
                   TextAnchor::RightMiddle);
    canvas.setColour(colour);
    drawTrace(canvas, panel, samples, n, scale.perCount * magnification,
              PaletteColour(palette::LightRed));
}

void drawPanels(Canvas& canvas, const MeasurementSettings& settings, const MeasurementData& data,
                int ch, bool distortion)
{
    canvas.setColour(palette::Black);
    for (const WaveformPanel& panel : WaveformPanels(data.VoltageLast, ch))
        drawPanel(canvas, settings, data, panel, ch, distortion);
}

} // namespace

std::vector<WaveformPanel> WaveformPanels(int voltageLast, int ch)
{
    std::vector<WaveformPanel> panels;
    const int last = std::clamp(voltageLast, 0, 2);
    for (int i = 0; i <= last; ++i) {
        for (int j = 0; j <= 1; ++j) {
            WaveformPanel p;
            p.current = j == 1;
            p.phase = i;
            p.label =
                (p.current ? QStringLiteral("I") : QStringLiteral("V")) + QString::number(i + 1);
            p.left = 10 + 210 * i;
            p.base = 104 + 180 * j;
            p.labelY = 8 + 180 * j;
            p.channel = p.current ? 3 * ch + 3 + i : i;
            p.rangeInput = p.current ? 2 * ch + 2 : 0;
            panels.push_back(p);
        }
    }
    return panels;
}

std::optional<double> OneTwoFiveAtLeast(double value)
{
    if (!std::isfinite(value) || !(value > 0))
        return std::nullopt;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        // A value that is 1-2-5 but for the rounding of the values it comes from stays as it
        // is (its full scale then passes the frame by less than a pixel).
        if (m * power >= value * (1 - 1e-3))
            return m * power;
    }
    return 10 * power;
}

PanelScale InputPanelScale(std::optional<double> rowValuePerCount,
                           std::optional<double> ownValuePerCount)
{
    PanelScale scale;
    if (!rowValuePerCount || !ownValuePerCount)
        return scale;
    const std::optional<double> division =
        OneTwoFiveAtLeast(kFullScaleCounts * *rowValuePerCount / kWaveformDivisions);
    if (!division)
        return scale;
    scale.perDivision = *division;
    scale.perCount = kWaveformHalfHeight / kWaveformDivisions / *division * *ownValuePerCount;
    return scale;
}

double DistortionMagnification(double peakCounts, double perCount)
{
    if (!std::isfinite(peakCounts) || !(peakCounts > 0) || !std::isfinite(perCount) ||
        !(perCount > 0))
        return 1;
    const double room = kWaveformHalfHeight / (peakCounts * perCount);
    double best = 1;
    for (double power = 1; power <= kLargestMagnification; power *= 10)
        for (const double m : {1.0, 2.0, 5.0})
            if (m * power <= room && m * power <= kLargestMagnification)
                best = m * power;
    return best;
}

QString PerDivisionText(double value, const QString& unit)
{
    QString prefix;
    if (value >= 1000) {
        value /= 1000;
        prefix = QStringLiteral("k");
    } else if (value < 0.1) {
        value *= 1000;
        prefix = QStringLiteral("m");
    }
    return QString::number(value, 'g', 3) + prefix + unit + QStringLiteral("/div");
}

namespace {

std::optional<double> channelValuePerCount(const MeasurementSettings& settings,
                                           const MeasurementData& data, int channel, double rms)
{
    const int n = settings.SampleCount;
    if (n < 1 || !holds(data.WaveData, channel, n - 1))
        return std::nullopt;
    double sum = 0;
    for (int i = 0; i < n; ++i) {
        const double v = valueAt(data.WaveData, channel, i);
        sum += v * v;
    }
    const double value = rms / std::sqrt(sum / n);
    if (!std::isfinite(value) || !(value > 0))
        return std::nullopt;
    return value;
}

} // namespace

std::optional<double> WaveformValuePerCount(const MeasurementSettings& settings,
                                            const MeasurementData& data,
                                            const WaveformPanel& panel, int ch)
{
    return channelValuePerCount(settings, data, panel.channel,
                                panel.current ? valueAt(data.CurRms, ch, panel.phase)
                                              : valueAt(data.VoltRms, panel.phase));
}

std::optional<double> WaveformRowValuePerCount(const MeasurementSettings& settings,
                                               const MeasurementData& data, bool current)
{
    std::optional<double> largest;
    const int feeders = current ? settings.LastFeeder : 0;
    for (int f = 0; f <= feeders; ++f)
        for (const WaveformPanel& panel : WaveformPanels(data.VoltageLast, f)) {
            if (panel.current != current)
                continue;
            const std::optional<double> value = WaveformValuePerCount(settings, data, panel, f);
            if (value && (!largest || *value > *largest))
                largest = value;
        }
    return largest;
}

void DrawInputWaveforms(Canvas& canvas, const MeasurementSettings& settings,
                        const MeasurementData& data, int ch)
{
    drawPanels(canvas, settings, data, ch, false);
}

void DrawDistortionWaveforms(Canvas& canvas, const MeasurementSettings& settings,
                             const MeasurementData& data, int ch)
{
    drawPanels(canvas, settings, data, ch, true);
}

} // namespace hs
