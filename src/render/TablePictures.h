#pragma once

#include <QImage>

namespace hs {

struct MeasurementData;
struct MeasurementSettings;

// A table view of feeder ch (0-based) as a picture: both grids side by side with every row
// (the screen scrolls them), the cells the screen fills, at scale times the screen's pixels.
QImage RenderTableView(int view, const MeasurementSettings& settings, const MeasurementData& data,
                       int ch, double scale);

} // namespace hs
