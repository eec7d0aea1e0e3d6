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

// One panel's label and trace. Without a fundamental the samples are drawn as they are, in
// the current colour; with one, the fundamental is taken away and the segments are light red.
// A panel whose channel holds no samples or whose range is unknown shows its label only.
void drawPanel(Canvas& canvas, const MeasurementSettings& settings, const MeasurementData& data,
               const WaveformPanel& panel, std::optional<Fundamental> fundamental)
{
    canvas.PrintAt({panel.left, panel.labelY}, panel.label);
    const int n = settings.SampleCount;
    const std::optional<double> scale = WaveformScale(valueAt(data.InputRange, panel.rangeInput));
    if (n < 1 || !scale || !holds(data.WaveData, panel.channel, 0))
        return;
    const int last = std::min(n, static_cast<int>(data.WaveData.dim1()) - 1);
    const auto y = [&](int i) {
        double s = valueAt(data.WaveData, panel.channel, i);
        if (fundamental) {
            const double theta = i * 6.28318 / n;
            s -= fundamental->sine * std::sin(theta) + fundamental->cosine * std::cos(theta);
        }
        return panel.base - s * *scale;
    };
    canvas.point({panel.left, y(0)});
    const std::optional<QColor> colour =
        fundamental ? std::optional<QColor>(PaletteColour(palette::LightRed)) : std::nullopt;
    for (int i = 1; i <= last; ++i)
        canvas.lineTo({panel.left + kWaveformPanelWidth * i / n, y(i)}, colour);
}

void drawPanels(Canvas& canvas, const MeasurementSettings& settings, const MeasurementData& data,
                int ch, bool distortion)
{
    canvas.setColour(palette::Black);
    for (const WaveformPanel& panel : WaveformPanels(data.VoltageLast, ch))
        drawPanel(canvas, settings, data, panel,
                  distortion ? std::optional(fundamentalOf(data, panel, ch)) : std::nullopt);
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
            p.base = 120 + 150 * j;
            p.labelY = 10 + 150 * j;
            p.channel = p.current ? 3 * ch + 3 + i : i;
            p.rangeInput = p.current ? 2 * ch + 2 : 0;
            panels.push_back(p);
        }
    }
    return panels;
}

std::optional<double> WaveformScale(double range)
{
    if (!std::isfinite(range) || !(range > 0))
        return std::nullopt;
    return 128.0 / (500.0 * range);
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
