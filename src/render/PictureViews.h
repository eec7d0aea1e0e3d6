#pragma once

namespace hs {

class Canvas;
struct MeasurementData;
struct MeasurementSettings;

// The views of the measurement screen that are drawn on its picture rather than shown in the
// grids: 1 the graph view, 6 the input waveforms, 7 the distortion waveforms, 8 both, 9 the
// vector diagrams.
bool IsPictureView(int view);

// Draws a picture view of the last shot for feeder currentChannel (0-based) on a canvas of
// logical size 640 x 360, which the caller has cleared. Returns false, drawing nothing, for
// a view that is not a picture view.
bool DrawPictureView(Canvas& canvas, int view, const MeasurementSettings& settings,
                     const MeasurementData& data, int currentChannel);

} // namespace hs
