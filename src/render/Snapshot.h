#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

#include <vector>

namespace hs {

class EngineObserver;
struct MeasurementData;
struct MeasurementSettings;

// Pictures of the measurement screen's views for people following an unattended run: every
// view of the last analysed shot for every feeder, as PNG files. The graph, waveform and vector
// views are drawn by the screen's own drawing code; the table views show the cells the screen
// fills, every row of both grids side by side.

// The views that get a picture, in the order they are written: 1 to 9.
std::vector<int> SnapshotViews();
// The name of a view's picture for feeder (1-based): "view1-graph-F1.png", "view2-sum-F1.png",
// "view3-voltage-F1.png", "view4-current-F1.png", "view5-angles-F1.png",
// "view6-waveforms-F2.png", "view7-distortion-F1.png", "view8-both-F1.png",
// "view9-vectors-F3.png".
QString SnapshotFileName(int view, int feeder);

// The default scale: the screen's logical 640 x 360 as 1280 x 720 pixels. The drawn views add
// a white band of 12 units under the surface (1280 x 744) so that the lowest labels show
// whole; the table views are scaled alike (twice the screen's pixels) and as tall as their rows.
inline constexpr QSize kSnapshotSize(1280, 720);

struct SnapshotResult {
    QStringList written; // full paths
    QString error;       // the first failure, empty when every file was written
};

// Writes the pictures into folder (made
// when missing), each file replaced as a whole so that a reader never sees half a picture.
SnapshotResult WriteSnapshot(const QString& folder, const MeasurementSettings& settings,
                             const MeasurementData& data, QSize size = kSnapshotSize);

// For `measure --snapshot DIR`: writes the pictures when folder is not empty and tells the
// operator (observer message) when a picture could not be written; the run goes on.
void SaveSnapshot(const QString& folder, const MeasurementSettings& settings,
                  const MeasurementData& data, EngineObserver& observer);

} // namespace hs
