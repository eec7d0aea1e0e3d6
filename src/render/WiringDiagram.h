#pragma once

#include <QLineF>
#include <QPointF>
#include <QSizeF>

#include <array>

namespace hs {

class Canvas;
struct PreparationResult;

// The wiring diagram of the preparation screen: the fundamental vectors of the check shot, one
// small diagram per feeder (the two line voltages as a triangle, the feeder's currents as arrows
// from its centre), drawn on the picture in twips.
//
// Two coordinate systems: diagram units count y upwards (a point at height y is drawn at picture
// y 3750 - y, a label at height y at 3950 - y); picture coordinates are the canvas's, y downwards.

// The picture's size in twips, which is the canvas's logical size.
inline constexpr double kWiringPictureWidth = 7320;
inline constexpr double kWiringPictureHeight = 3800;
inline QSizeF wiringPictureSize()
{
    return {kWiringPictureWidth, kWiringPictureHeight};
}

// Picture coordinates of a point in diagram units, and of a label at diagram height y.
inline QPointF pictureFromDiagram(QPointF p)
{
    return {p.x(), 3750.0 - p.y()};
}
inline double labelPictureY(double y)
{
    return 3950.0 - y;
}

// Where one feeder's diagram goes: origin x, y (diagram units) and its size, by the number of
// feeders (lastFeeder 0..8) and the feeder f (0-based).
struct DiagramPlace {
    double x = 0;
    double y = 0;
    double size = 0;
};
DiagramPlace feederDiagramPlace(int lastFeeder, int f);

// The fundamental of one input as the check shot measured it: the sine and cosine sums and the
// angle θ against a sine that starts at the period start.
struct Fundamental {
    double s = 0;
    double c = 0;
    double theta = 0;
    // |v|; 0 for a vector whose sums are not finite numbers.
    double magnitude() const;
};

// The vectors of one feeder's diagram, in diagram units (whole numbers where the diagram rounds).
struct FeederVectors {
    QPointF centre;        // (x, yc): the centroid of the voltage triangle, start of the currents
    QPointF voltageOrigin; // O: the common point of both line voltages
    QPointF voltageTip0;   // T0 = O + P0 (R-S)
    QPointF voltageTip1;   // T1 = O + P1 (T-S)
    QPointF currentTip0;   // centre + I0 (R current)
    QPointF currentTip1;   // centre + I1 (T current)
    QPointF currentTip2;   // centre - I0 - I1 (the third current, S)
};

// The vectors for feeder place `place`: voltages v0, v1, currents i0, i1, elementLast E (1: the
// second voltage and current are measured) and the phase-sequence rotation rho (radians).
// Vectors whose sums are not finite count as zero vectors; nothing returned is NaN.
FeederVectors feederVectors(const DiagramPlace& place, const Fundamental& v0, const Fundamental& v1,
                            const Fundamental& i0, const Fundamental& i1, int elementLast,
                            double rho);

// The two head strokes of an arrow from `from` to `to` (diagram units), in picture coordinates:
// 50 long from the tip, 0.5 rad either side of the backward direction.
std::array<QLineF, 2> arrowHeadStrokes(QPointF from, QPointF to);

// What the diagram shows.
struct WiringDiagramInput {
    int MeasureType = 0;
    int ElementLast = 0;
    int LastFeeder = 0;
    std::array<Fundamental, 20> inputs{}; // per logical input 0..19
    double Rho = 0;
};
// From a finished check shot.
WiringDiagramInput wiringDiagramInput(const PreparationResult& result, int measureType,
                                      int elementLast, int lastFeeder);

// Draws the legend and every feeder's diagram (the caller clears the canvas first).
void DrawWiringDiagram(Canvas& canvas, const WiringDiagramInput& input);

} // namespace hs
