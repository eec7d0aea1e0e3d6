#include "render/WiringDiagram.h"

#include "common/Numbers.h"
#include "render/Canvas.h"
#include "model/MeasurementSettings.h"
#include "model/PreparationResult.h"

#include <QString>

#include <algorithm>
#include <cmath>

namespace hs {

namespace {

constexpr double kHeadLength = 50.0;
constexpr double kHeadSpread = 0.5;

bool finiteVector(const Fundamental& v)
{
    return std::isfinite(v.s) && std::isfinite(v.c) && std::isfinite(v.theta);
}

double whole(double v)
{
    return roundHalfEven(v);
}

// Length factors of a pair: (E + 1) |a| / (|a| + |b|), so that a measured pair shares the size
// of the diagram and a single measured vector gets all of it.
std::array<double, 2> lengthFactors(const Fundamental& a, const Fundamental& b, int elementLast)
{
    const double ma = a.magnitude(), mb = b.magnitude();
    const double e1 = elementLast + 1;
    return {e1 * ma / (ma + mb + 1e-20), e1 * mb / (ma + mb + 1e-20)};
}

// A vector of length `length` at θ + ρ; zero for a vector that has no finite angle.
QPointF polar(const Fundamental& v, double length, double rho)
{
    if (!finiteVector(v))
        return {0, 0};
    return {length * std::cos(v.theta + rho), length * std::sin(v.theta + rho)};
}

QPointF wholePoint(QPointF p)
{
    return {whole(p.x()), whole(p.y())};
}

struct Legend {
    const char16_t* text;
    int colour;
    double x;
    double y;
};

void drawLegend(Canvas& canvas, const WiringDiagramInput& in)
{
    const bool three = in.MeasureType == 2 || in.MeasureType == 4;
    const Legend rows[] = {
        {u"Vr-s", palette::LightGreen, 6600, 3060}, {u"Ir", palette::LightCyan, 7050, 3060},
        {u"Vt-s", palette::LightRed, 6600, 3240},   {u"It", palette::LightMagenta, 7050, 3240},
        {u"Vr-t", palette::Grey, 6600, 3420},       {u"Is", palette::Brown, 7050, 3420},
    };
    for (int i = 0; i < 6; ++i) {
        const bool shown = i < 2 || (i < 4 ? in.ElementLast > 0 : three);
        if (!shown)
            continue;
        canvas.setColour(rows[i].colour);
        canvas.PrintAt(QPointF(rows[i].x, rows[i].y), QString::fromUtf16(rows[i].text));
    }
}

// An arrow in diagram units: the shaft in the given style, the head solid. A zero-length arrow
// (an input without signal) has no direction: it is left out rather than given a stray head.
void drawArrow(Canvas& canvas, QPointF from, QPointF to, int colour, LineStyle style)
{
    if (from == to)
        return;
    const QColor c = PaletteColour(colour);
    canvas.setColour(colour);
    canvas.setLineStyle(style);
    canvas.line(pictureFromDiagram(from), pictureFromDiagram(to), c);
    canvas.setLineStyle(LineStyle::Solid);
    for (const QLineF& stroke : arrowHeadStrokes(from, to))
        canvas.line(stroke.p1(), stroke.p2(), c);
}

void drawLine(Canvas& canvas, QPointF a, QPointF b, int colour)
{
    canvas.setColour(colour);
    canvas.line(pictureFromDiagram(a), pictureFromDiagram(b), PaletteColour(colour));
}

void drawFeeder(Canvas& canvas, const WiringDiagramInput& in, int f)
{
    const DiagramPlace place = feederDiagramPlace(in.LastFeeder, f);
    if (in.LastFeeder > 0) {
        canvas.setColour(palette::Black);
        canvas.PrintAt(QPointF(place.x - 200, labelPictureY(place.y)), FeederName(f));
    }
    const auto at = [&](int k) { return in.inputs[static_cast<std::size_t>(k)]; };
    const FeederVectors v =
        feederVectors(place, at(0), at(1), at(2 * f + 2), at(2 * f + 3), in.ElementLast, in.Rho);
    drawArrow(canvas, v.voltageOrigin, v.voltageTip0, palette::LightGreen, LineStyle::Solid);
    drawArrow(canvas, v.centre, v.currentTip0, palette::LightCyan, LineStyle::Solid);
    if (in.ElementLast >= 1) {
        drawArrow(canvas, v.voltageOrigin, v.voltageTip1, palette::LightRed, LineStyle::Solid);
        drawArrow(canvas, v.centre, v.currentTip1, palette::LightMagenta, LineStyle::Solid);
    }
    if (in.MeasureType == 2 || in.MeasureType == 4) {
        drawLine(canvas, v.voltageTip0, v.voltageTip1, palette::Grey);
        drawArrow(canvas, v.centre, v.currentTip2, palette::Brown, LineStyle::Dotted);
        canvas.setLineStyle(LineStyle::Dotted);
        drawLine(canvas, v.centre, v.voltageTip0, palette::LightCyan);
        drawLine(canvas, v.centre, v.voltageTip1, palette::LightMagenta);
        drawLine(canvas, v.centre, v.voltageOrigin, palette::Brown);
        canvas.setLineStyle(LineStyle::Solid);
    }
}

} // namespace

double Fundamental::magnitude() const
{
    if (!finiteVector(*this))
        return 0.0;
    return std::sqrt(s * s + c * c);
}

DiagramPlace feederDiagramPlace(int lastFeeder, int f)
{
    switch (std::clamp(lastFeeder, 0, 8)) {
    case 0:
        return {3200, 1000, 1500};
    case 1:
        return {1800.0 + 3000 * f, 1000, 1500};
    case 2:
        return {1300.0 + 2400 * f, 1000, 1200};
    case 3:
        return {f % 2 == 0 ? 1800.0 : 4800.0, f < 2 ? 2200.0 : 400.0, 1200};
    case 4:
    case 5:
        return {1300.0 + 2400 * (f % 3), 2200.0 - 1800 * (f / 3), 1200};
    case 6:
    case 7:
        return {1100.0 + 1700 * (f % 4), 2200.0 - 1800 * (f / 4), 1100};
    default:
        return {1100.0 + 1300 * (f % 5), 2200.0 - 1800 * (f / 5), 1000};
    }
}

FeederVectors feederVectors(const DiagramPlace& place, const Fundamental& v0, const Fundamental& v1,
                            const Fundamental& i0, const Fundamental& i1, int elementLast,
                            double rho)
{
    const double a = place.size;
    const double yc = whole(a / 1.732 + place.y);
    const double h = whole(a / 2);
    const auto kV = lengthFactors(v0, v1, elementLast);
    const auto kI = lengthFactors(i0, i1, elementLast);

    const QPointF p0 = polar(v0, a * kV[0], rho);
    const QPointF p1 = polar(v1, a * kV[1], rho);
    FeederVectors out;
    out.centre = QPointF(place.x, yc);
    // The triangle O, O + P0, O + P1 has its centroid at the centre.
    out.voltageOrigin =
        QPointF(whole(place.x - (p0.x() + p1.x()) / 3), whole(yc - (p0.y() + p1.y()) / 3));
    out.voltageTip0 = wholePoint(out.voltageOrigin + p0);
    out.voltageTip1 = wholePoint(out.voltageOrigin + p1);
    const QPointF c0 = wholePoint(polar(i0, h * kI[0], rho));
    const QPointF c1 = wholePoint(polar(i1, h * kI[1], rho));
    out.currentTip0 = out.centre + c0;
    out.currentTip1 = out.centre + c1;
    out.currentTip2 = out.centre - c0 - c1;
    return out;
}

std::array<QLineF, 2> arrowHeadStrokes(QPointF from, QPointF to)
{
    double phi = std::atan((to.y() - from.y()) / (to.x() - from.x() + 1e-20));
    if (to.x() >= from.x())
        phi -= 3.1416;
    const QPointF tip = pictureFromDiagram(to);
    const auto stroke = [&](double angle) {
        return QLineF(tip, QPointF(tip.x() + kHeadLength * std::cos(angle),
                                   tip.y() - kHeadLength * std::sin(angle)));
    };
    return {stroke(phi + kHeadSpread), stroke(phi - kHeadSpread)};
}

WiringDiagramInput wiringDiagramInput(const PreparationResult& result, int measureType,
                                      int elementLast, int lastFeeder)
{
    WiringDiagramInput in;
    in.MeasureType = measureType;
    in.ElementLast = elementLast;
    in.LastFeeder = std::clamp(lastFeeder, 0, 8);
    for (std::size_t k = 0; k < in.inputs.size(); ++k)
        in.inputs[k] = {result.S[k], result.C[k], result.Theta[k]};
    in.Rho = std::isfinite(result.Rho) ? result.Rho : 0.0;
    return in;
}

void DrawWiringDiagram(Canvas& canvas, const WiringDiagramInput& input)
{
    drawLegend(canvas, input);
    const int last = std::clamp(input.LastFeeder, 0, 8);
    for (int f = 0; f <= last; ++f)
        drawFeeder(canvas, input, f);
    canvas.setLineStyle(LineStyle::Solid);
}

} // namespace hs
