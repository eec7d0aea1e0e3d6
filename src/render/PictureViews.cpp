#include "render/PictureViews.h"

#include "render/Canvas.h"
#include "render/ResultCharts.h"
#include "render/VectorDiagrams.h"
#include "render/Waveforms.h"

namespace hs {

bool IsPictureView(int view)
{
    return view == 1 || (view >= 6 && view <= 9);
}

bool DrawPictureView(Canvas& canvas, int view, const MeasurementSettings& settings,
                     const MeasurementData& data, int currentChannel)
{
    switch (view) {
    case 1:
        DrawGraphView(canvas, data, currentChannel);
        break;
    case 6:
        DrawInputWaveforms(canvas, settings, data, currentChannel);
        break;
    case 7:
        DrawDistortionWaveforms(canvas, settings, data, currentChannel);
        break;
    case 8:
        DrawInputWaveforms(canvas, settings, data, currentChannel);
        DrawDistortionWaveforms(canvas, settings, data, currentChannel);
        break;
    case 9:
        DrawVectorView(canvas, settings, data, currentChannel);
        break;
    default:
        return false;
    }
    return true;
}

} // namespace hs
