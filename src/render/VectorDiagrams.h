#pragma once

#include "render/Canvas.h"

#include <QPointF>
#include <QRectF>

#include <array>
#include <vector>

namespace hs {

struct MeasurementData;
struct MeasurementSettings;

// The vector view of the measurement screen: eight phasor diagrams, orders 1, 5, 11, 17 on top
// and 3, 7, 13, 19 below, each with the voltage vectors of the measuring elements as a
// triangle around the diagram's centre and the currents of the feeder shown from the centre.
// A diagram shows directions and relative sizes only: its voltages are scaled against each
// other, its currents against each other.
//
// Diagram coordinates have y upwards; a diagram point (x, y) is drawn at (x, 400 - y) of the
// 640 x 360 picture.

// Sine parts S (drawn along x) and cosine parts C (along y) of one diagram: entry 2e is the
// voltage of element e, entry 2e + 1 the current of element e.
struct VectorInput {
    std::array<float, 6> S{};
    std::array<float, 6> C{};
};

// The vectors of order k for feeder ch: elements 0..ElementLast; with MeasureType 4 the
// voltages are taken against voltage phase 2 (phase-to-neutral values to line values).
VectorInput FillVectorInput(const MeasurementSettings& settings, const MeasurementData& data,
                            int ch, int k);

// One stroke of a diagram, in diagram coordinates: an arrow (shaft in the given style, head
// solid) or a plain line.
struct PhasorStroke {
    enum Kind { Arrow, Line };
    Kind kind = Arrow;
    QPointF from;
    QPointF to;
    int colour = 0;
    LineStyle style = LineStyle::Solid;
};

// What a phasor diagram centred on (cx, cy) with radius a draws, in drawing order: the voltage
// of element 0 (light green) and its current (light cyan); with two elements also the voltage
// (light red) and current (light magenta) of element 1; for the three-phase types (2, 4) the
// third side of the voltage triangle (grey), the third current (brown, dotted shaft) and dotted
// lines from the centre to the triangle's corners. Positions are whole units, halves to even.
// The voltages (or the currents) are left out when they are all zero or not numbers.
std::vector<PhasorStroke> PhasorDiagram(const VectorInput& input, int elementLast, int measureType,
                                        double cx, double cy, double a);

// The two head strokes of an arrow from `from` to `to` (diagram coordinates): their far ends
// in picture coordinates, 5 units from the tip, 0.5 radian either side of the shaft. A zero
// arrow gets a head pointing towards negative x.
std::array<QPointF, 2> ArrowHead(QPointF from, QPointF to);

// Draws an arrow or a line given in diagram coordinates.
void DrawPhasorStroke(Canvas& canvas, const PhasorStroke& stroke);
// Draws the diagram of PhasorDiagram.
void DrawPhasorDiagram(Canvas& canvas, const VectorInput& input, int elementLast, int measureType,
                       double cx, double cy, double a);

// The order of the diagram in column d (0..3) and row j (0..1): 1, 5, 11, 17 and 3, 7, 13, 19.
int VectorDiagramOrder(int d, int j);

// The picture is cut into eight cells, one per diagram: column d is 128 wide from x 46 + 128 d,
// row j the upper or lower half of the picture. At the foot of each cell is its order label's
// box; the diagram, arrow heads included, stays in the area above it.
QRectF VectorDiagramCell(int d, int j);
QRectF VectorLabelBox(int d, int j);
QRectF VectorDiagramArea(int d, int j);

// The picture-coordinate box around what the strokes draw, arrow heads included (empty when
// they draw nothing).
QRectF PhasorDiagramBounds(const std::vector<PhasorStroke>& strokes);

// A diagram centred on the middle of `area`, with radius 50 as long as it fits, else with the
// largest radius at which its strokes stay inside the area (an uneven pair of voltages makes
// the triangle up to three times as long as the radius).
struct FittedDiagram {
    double cx = 0;
    double cy = 0; // diagram coordinates, y upwards, as PhasorDiagram takes them
    double a = 50;
};
FittedDiagram FitPhasorDiagram(const VectorInput& input, int elementLast, int measureType,
                               const QRectF& area);

// The whole vector view for feeder ch (0-based): diagrams, order labels and the legend.
void DrawVectorView(Canvas& canvas, const MeasurementSettings& settings,
                    const MeasurementData& data, int ch);

} // namespace hs
