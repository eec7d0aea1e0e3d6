#include "render/VectorDiagrams.h"

#include "common/Numbers.h"
#include "render/ResultValues.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace hs {

namespace {

constexpr double kPi = 3.1416;
constexpr double kRoot3 = 1.732;
constexpr double kGuard = 1e-20;
constexpr double kSurfaceFlip = 400;
constexpr double kHeadLength = 5;
constexpr double kHeadAngle = 0.5;

// The cells of the vector view and the diagrams' radius when they fit.
constexpr double kCellLeft = 46;
constexpr double kCellWidth = 128;
constexpr double kCellHeight = 180;
constexpr double kLabelIndent = 34; // the label starts at x 80 + 128 d
constexpr double kLabelWidth = 48;
constexpr double kLabelHeight = 16;
constexpr double kMargin = 2;
constexpr double kRadius = 50;

double whole(double value)
{
    return roundHalfEven(value);
}

QPointF toSurface(QPointF p)
{
    return {p.x(), kSurfaceFlip - p.y()};
}

bool finite(QPointF p)
{
    return std::isfinite(p.x()) && std::isfinite(p.y());
}

// QRectF::contains counts a box of no width (a vertical arrow) as never inside.
bool inside(const QRectF& box, const QRectF& area)
{
    return box.left() >= area.left() && box.right() <= area.right() && box.top() >= area.top() &&
           box.bottom() <= area.bottom();
}

// Direction of entry i: (cos theta, sin theta) points along (S, C).
double angleOf(const VectorInput& in, int i)
{
    const double s = in.S[static_cast<std::size_t>(i)];
    const double c = in.C[static_cast<std::size_t>(i)];
    const double theta = std::atan(c / (s + kGuard));
    return s < 0 ? theta - kPi : theta;
}

double lengthOf(const VectorInput& in, int i)
{
    return std::hypot(double(in.S[static_cast<std::size_t>(i)]),
                      double(in.C[static_cast<std::size_t>(i)]));
}

// Length factors of a pair of entries (the two voltages or the two currents) scaled against
// their common norm; nullopt when the pair holds nothing to draw.
std::optional<std::array<double, 2>> factors(const VectorInput& in, int first, double scale)
{
    const double l0 = lengthOf(in, first);
    const double l1 = lengthOf(in, first + 2);
    const double norm = std::sqrt(l0 * l0 + l1 * l1);
    if (!std::isfinite(norm) || !(norm > 0))
        return std::nullopt;
    return std::array<double, 2>{scale * l0 / norm, scale * l1 / norm};
}

// The corners of the voltage triangle: origin O and tips T0, T1, centroid at (cx, yc).
struct Triangle {
    QPointF origin, tip0, tip1;
};

Triangle voltageTriangle(const VectorInput& in, const std::array<double, 2>& k, double cx,
                         double yc, double a)
{
    const double t0 = angleOf(in, 0);
    const double t2 = angleOf(in, 2);
    const QPointF p0(a * k[0] * std::cos(t0), a * k[0] * std::sin(t0));
    const QPointF p1(a * k[1] * std::cos(t2), a * k[1] * std::sin(t2));
    const QPointF o(whole(cx - (p0.x() + p1.x()) / 3), whole(yc - (p0.y() + p1.y()) / 3));
    return {o,
            {whole(o.x() + p0.x()), whole(o.y() + p0.y())},
            {whole(o.x() + p1.x()), whole(o.y() + p1.y())}};
}

// A current of length factor k along entry i: its tip relative to the centre, and the arrow's
// end point (rounded as a whole, centre included).
struct CurrentTip {
    QPointF relative, end;
};

CurrentTip currentTip(const VectorInput& in, int i, double k, double h, double cx, double yc)
{
    const double theta = angleOf(in, i);
    return {{whole(h * k * std::cos(theta)), whole(h * k * std::sin(theta))},
            {whole(std::cos(theta) * h * k + cx), whole(std::sin(theta) * h * k + yc)}};
}

PhasorStroke arrow(QPointF from, QPointF to, int colour, LineStyle style = LineStyle::Solid)
{
    return {PhasorStroke::Arrow, from, to, colour, style};
}

PhasorStroke line(QPointF from, QPointF to, int colour, LineStyle style = LineStyle::Solid)
{
    return {PhasorStroke::Line, from, to, colour, style};
}

} // namespace

VectorInput FillVectorInput(const MeasurementSettings& settings, const MeasurementData& data,
                            int ch, int k)
{
    VectorInput in;
    const bool againstPhase2 = settings.MeasureType() == 4;
    const int last = data.ElementLast > 0 ? 1 : 0;
    for (int e = 0; e <= last; ++e) {
        const auto v = static_cast<std::size_t>(2 * e);
        double s = valueAt(data.VoltSin, e, k);
        double c = valueAt(data.VoltCos, e, k);
        if (againstPhase2) {
            s -= valueAt(data.VoltSin, 2, k);
            c -= valueAt(data.VoltCos, 2, k);
        }
        in.S[v] = static_cast<float>(s);
        in.C[v] = static_cast<float>(c);
        in.S[v + 1] = static_cast<float>(valueAt(data.CurSin, ch, e, k));
        in.C[v + 1] = static_cast<float>(valueAt(data.CurCos, ch, e, k));
    }
    return in;
}

std::vector<PhasorStroke> PhasorDiagram(const VectorInput& in, int elementLast, int measureType,
                                        double cx, double cy, double a)
{
    const double yc = whole(a / kRoot3 + cy);
    const double h = whole(a / 2);
    const QPointF centre(cx, yc);
    const bool two = elementLast >= 1;
    const bool threePhase = measureType == 2 || measureType == 4;

    std::optional<Triangle> v;
    if (const auto kv = factors(in, 0, 3.0))
        v = voltageTriangle(in, *kv, cx, yc, a);
    std::optional<std::array<CurrentTip, 2>> i;
    if (const auto ki = factors(in, 1, 1.4))
        i = {currentTip(in, 1, (*ki)[0], h, cx, yc), currentTip(in, 3, (*ki)[1], h, cx, yc)};

    std::vector<PhasorStroke> out;
    if (v)
        out.push_back(arrow(v->origin, v->tip0, palette::LightGreen));
    if (i)
        out.push_back(arrow(centre, (*i)[0].end, palette::LightCyan));
    if (two) {
        if (v)
            out.push_back(arrow(v->origin, v->tip1, palette::LightRed));
        if (i)
            out.push_back(arrow(centre, (*i)[1].end, palette::LightMagenta));
    }
    if (threePhase) {
        if (v)
            out.push_back(line(v->tip0, v->tip1, palette::Grey));
        if (i)
            out.push_back(arrow(centre, centre - (*i)[0].relative - (*i)[1].relative,
                                palette::Brown, LineStyle::Dotted));
        if (v) {
            out.push_back(line(centre, v->tip0, palette::LightCyan, LineStyle::Dotted));
            out.push_back(line(centre, v->tip1, palette::LightMagenta, LineStyle::Dotted));
            out.push_back(line(centre, v->origin, palette::Brown, LineStyle::Dotted));
        }
    }
    return out;
}

std::array<QPointF, 2> ArrowHead(QPointF from, QPointF to)
{
    double phi = std::atan((to.y() - from.y()) / (to.x() - from.x() + kGuard));
    if (to.x() >= from.x())
        phi -= kPi;
    const QPointF tip = toSurface(to);
    return {QPointF(tip.x() + kHeadLength * std::cos(phi + kHeadAngle),
                    tip.y() - kHeadLength * std::sin(phi + kHeadAngle)),
            QPointF(tip.x() + kHeadLength * std::cos(phi - kHeadAngle),
                    tip.y() - kHeadLength * std::sin(phi - kHeadAngle))};
}

void DrawPhasorStroke(Canvas& canvas, const PhasorStroke& stroke)
{
    if (!finite(stroke.from) || !finite(stroke.to))
        return;
    const QColor colour = PaletteColour(stroke.colour);
    canvas.setLineStyle(stroke.style);
    canvas.line(toSurface(stroke.from), toSurface(stroke.to), colour);
    if (stroke.kind == PhasorStroke::Arrow) {
        canvas.setLineStyle(LineStyle::Solid);
        const QPointF tip = toSurface(stroke.to);
        for (const QPointF& end : ArrowHead(stroke.from, stroke.to))
            canvas.line(tip, end, colour);
    }
    canvas.setLineStyle(LineStyle::Solid);
}

void DrawPhasorDiagram(Canvas& canvas, const VectorInput& input, int elementLast, int measureType,
                       double cx, double cy, double a)
{
    for (const PhasorStroke& stroke : PhasorDiagram(input, elementLast, measureType, cx, cy, a))
        DrawPhasorStroke(canvas, stroke);
}

int VectorDiagramOrder(int d, int j)
{
    const int base = d == 0 ? 2 : 6 * d;
    return j == 0 ? base - 1 : base + 1;
}

QRectF VectorDiagramCell(int d, int j)
{
    return {kCellLeft + kCellWidth * d, kCellHeight * j, kCellWidth, kCellHeight};
}

QRectF VectorLabelBox(int d, int j)
{
    const QRectF cell = VectorDiagramCell(d, j);
    return {cell.left() + kLabelIndent, cell.bottom() - kLabelHeight - kMargin, kLabelWidth,
            kLabelHeight};
}

QRectF VectorDiagramArea(int d, int j)
{
    const QRectF cell = VectorDiagramCell(d, j);
    return QRectF(QPointF(cell.left() + kMargin, cell.top() + kMargin),
                  QPointF(cell.right() - kMargin, VectorLabelBox(d, j).top() - kMargin));
}

QRectF PhasorDiagramBounds(const std::vector<PhasorStroke>& strokes)
{
    bool any = false;
    double left = 0, top = 0, right = 0, bottom = 0;
    const auto take = [&](QPointF p) {
        left = any ? std::min(left, p.x()) : p.x();
        right = any ? std::max(right, p.x()) : p.x();
        top = any ? std::min(top, p.y()) : p.y();
        bottom = any ? std::max(bottom, p.y()) : p.y();
        any = true;
    };
    for (const PhasorStroke& stroke : strokes) {
        if (!finite(stroke.from) || !finite(stroke.to))
            continue;
        take(toSurface(stroke.from));
        take(toSurface(stroke.to));
        if (stroke.kind == PhasorStroke::Arrow)
            for (const QPointF& end : ArrowHead(stroke.from, stroke.to))
                take(end);
    }
    return any ? QRectF(QPointF(left, top), QPointF(right, bottom)) : QRectF();
}

FittedDiagram FitPhasorDiagram(const VectorInput& input, int elementLast, int measureType,
                               const QRectF& area)
{
    // The centre's height comes out of PhasorDiagram as whole(a / 1.732 + cy); cy is chosen so
    // that it is the middle of the area whatever the radius.
    const QPointF middle = area.center();
    const double cx = whole(middle.x());
    const double yc = kSurfaceFlip - whole(middle.y());
    FittedDiagram fit{cx, yc - kRadius / kRoot3, kRadius};
    for (int attempt = 0; attempt < 12; ++attempt) {
        const QRectF used = PhasorDiagramBounds(
            PhasorDiagram(input, elementLast, measureType, fit.cx, fit.cy, fit.a));
        if (used.isNull() || inside(used, area))
            break;
        // The distance from the centre each side may use over the distance it does use; arrow
        // heads keep their length, so the shaft part shrinks a little more than the ratio.
        const QPointF c(cx, kSurfaceFlip - yc);
        double ratio = 1;
        const auto limit = [&](double allowed, double usedLength) {
            if (usedLength > allowed)
                ratio = std::min(ratio, (allowed - kHeadLength) / (usedLength - kHeadLength));
        };
        limit(c.x() - area.left(), c.x() - used.left());
        limit(area.right() - c.x(), used.right() - c.x());
        limit(c.y() - area.top(), c.y() - used.top());
        limit(area.bottom() - c.y(), used.bottom() - c.y());
        fit.a *= std::clamp(ratio, 0.1, 0.98);
        fit.cy = yc - fit.a / kRoot3;
    }
    return fit;
}

void DrawVectorView(Canvas& canvas, const MeasurementSettings& settings,
                    const MeasurementData& data, int ch)
{
    const int elementLast = data.ElementLast > 0 ? 1 : 0;
    const int type = settings.MeasureType();
    for (int d = 0; d <= 3; ++d) {
        for (int j = 0; j <= 1; ++j) {
            const int k = VectorDiagramOrder(d, j);
            const VectorInput input = FillVectorInput(settings, data, ch, k);
            const FittedDiagram fit =
                FitPhasorDiagram(input, elementLast, type, VectorDiagramArea(d, j));
            DrawPhasorDiagram(canvas, input, elementLast, type, fit.cx, fit.cy, fit.a);
            canvas.setColour(palette::Black);
            canvas.PrintAt(VectorLabelBox(d, j).topLeft(), spacedNumber(k) + QStringLiteral("次"));
        }
    }
    const auto legend = [&](const char* text, int colour, double x, double y) {
        canvas.setColour(colour);
        canvas.PrintAt({x, y}, QString::fromLatin1(text));
    };
    legend("V1", palette::LightGreen, 584, 256);
    legend("I1", palette::LightCyan, 608, 256);
    if (elementLast > 0) {
        legend("V2", palette::LightRed, 584, 272);
        legend("I2", palette::LightMagenta, 608, 272);
    }
    if (type == 2 || type == 4) {
        legend("V3", palette::Grey, 584, 288);
        legend("I3", palette::Brown, 608, 288);
    }
}

} // namespace hs
