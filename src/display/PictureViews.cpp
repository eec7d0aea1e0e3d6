#include "display/PictureViews.h"

#include "display/Canvas.h"

namespace hs {

bool IsPictureView(int view)
{
    return view == 1 || (view >= 6 && view <= 9);
}

bool DrawPictureView(Canvas& canvas, int view, const MeasurementSettings& settings,
                     const MeasurementData& data, int currentChannel)
{
    (void)canvas;
    (void)settings;
    (void)data;
    (void)currentChannel;
    // The charts, waveforms and vector diagrams are not drawn yet: the picture stays cleared.
    return IsPictureView(view);
}

} // namespace hs
