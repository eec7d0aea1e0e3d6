#include "render/Snapshot.h"

#include "model/EngineObserver.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"
#include "render/Canvas.h"
#include "render/PictureViews.h"
#include "render/ResultTables.h"
#include "render/TablePictures.h"

#include <QDir>
#include <QImage>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace hs {

namespace {

// The screen's drawing surface, with a band below it: the lowest labels (the orders of the
// vector diagrams) start 8 units above the surface's bottom edge, and the band keeps them whole.
constexpr double kSurfaceWidth = 640;
constexpr double kSurfaceHeight = 360;
constexpr double kBand = 12;

QString viewName(int view)
{
    switch (view) {
    case 1:
        return QStringLiteral("graph");
    case 2:
        return QStringLiteral("sum");
    case 3:
        return QStringLiteral("voltage");
    case 4:
        return QStringLiteral("current");
    case 5:
        return QStringLiteral("angles");
    case 6:
        return QStringLiteral("waveforms");
    case 7:
        return QStringLiteral("distortion");
    case 8:
        return QStringLiteral("both");
    case 9:
        return QStringLiteral("vectors");
    default:
        return QStringLiteral("view");
    }
}

// Writes one picture; empty on success, else the reason.
QString writePicture(const QString& path, const QImage& image)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return path + QStringLiteral(": ") + file.errorString();
    if (!image.save(&file, "PNG", 80)) {
        file.cancelWriting();
        return path + QStringLiteral(": the picture could not be encoded");
    }
    if (!file.commit())
        return path + QStringLiteral(": ") + file.errorString();
    return {};
}

} // namespace

std::vector<int> SnapshotViews()
{
    return {1, 2, 3, 4, 5, 6, 7, 8, 9};
}

QString SnapshotFileName(int view, int feeder)
{
    return QStringLiteral("view%1-%2-F%3.png").arg(view).arg(viewName(view)).arg(feeder);
}

SnapshotResult WriteSnapshot(const QString& folder, const MeasurementSettings& settings,
                             const MeasurementData& data, QSize size)
{
    SnapshotResult result;
    if (!QDir().mkpath(folder)) {
        result.error = folder + QStringLiteral(": the folder could not be made");
        return result;
    }
    const QDir dir(folder);
    const QSizeF logical(kSurfaceWidth, kSurfaceHeight + kBand);
    const int height =
        static_cast<int>(std::lround(size.height() * (kSurfaceHeight + kBand) / kSurfaceHeight));
    for (int f = 0; f <= settings.LastFeeder; ++f) {
        for (const int view : SnapshotViews()) {
            const QImage image =
                IsTableView(view)
                    ? RenderTableView(view, settings, data, f, size.width() / kSurfaceWidth)
                    : RenderToImage(logical, size.width(), height, [&](Canvas& canvas) {
                          canvas.clear();
                          DrawPictureView(canvas, view, settings, data, f);
                      });
            const QString path = dir.absoluteFilePath(SnapshotFileName(view, f + 1));
            const QString error = writePicture(path, image);
            if (error.isEmpty())
                result.written << path;
            else if (result.error.isEmpty())
                result.error = error;
        }
    }
    return result;
}

void SaveSnapshot(const QString& folder, const MeasurementSettings& settings,
                  const MeasurementData& data, EngineObserver& observer)
{
    if (folder.isEmpty())
        return;
    const SnapshotResult result = WriteSnapshot(folder, settings, data);
    if (!result.error.isEmpty())
        observer.message(QStringLiteral("snapshot: ") + result.error,
                         MessageSeverity::information());
}

} // namespace hs
