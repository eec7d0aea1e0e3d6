#pragma once

#include "files/ResultExport.h"

#include <QImage>
#include <QString>

#include <vector>

namespace hs {

// Axis ticks for a value range: a step of 1, 2 or 5 times a power of ten giving about `target`
// intervals, and the first and last tick enclosing [low, high].
struct AxisTicks {
    double first = 0;
    double last = 1;
    double step = 1;
};
AxisTicks NiceTicks(double low, double high, int target = 5);

// The trend of a result file painted into an image (no display needed): on top the
// fundamental voltage over time, below it the distortion in percent of the fundamental:
// voltage and current distortion (the root sum of squares of the saved orders 2 and up) and the
// voltage ratio of each chosen order. The feeder is selection.feeder (1 when 0); the chosen
// orders are selection.orders above 1 (3, 5, 7 when none is given).
QImage PlotResultTrend(const ResultFile& file, const ExportSelection& selection, int width = 1200,
                       int height = 720);

// The series the plot draws, for tests and the CSV-minded: one value per record.
struct TrendSeries {
    QString name;
    std::vector<double> values;
};
std::vector<TrendSeries> TrendDistortionSeries(const ResultFile& file,
                                               const ExportSelection& selection);

} // namespace hs
