#include "web/RunFiles.h"

#include "engine/ResultFiles.h"
#include "model/MeasurementSettings.h"

#include <QFileInfo>

namespace hs::web {

RunFiles::RunFiles(const MeasurementSettings& settings) : settings_(settings) {}

QStringList RunFiles::names() const
{
    if (settings_.OutputFile.isEmpty())
        return {};
    return ResultFileNames(settings_.OutputFile, settings_.MeasureType());
}

const ResultFile* RunFiles::file(int i, QString* error)
{
    const QStringList paths = names();
    if (i < 0 || i >= paths.size()) {
        if (error)
            *error = QStringLiteral("no such file");
        return nullptr;
    }
    entries_.resize(static_cast<std::size_t>(paths.size()));
    Entry& e = entries_[static_cast<std::size_t>(i)];
    if (e.path != paths[i]) {
        e = Entry();
        e.path = paths[i];
    }
    refresh(e);
    if (!e.ok && error)
        *error = e.error;
    return e.ok ? &e.content : nullptr;
}

std::vector<QDateTime> RunFiles::recordTimes()
{
    std::vector<QDateTime> times;
    if (const ResultFile* f = file(0)) {
        times.reserve(f->records.size());
        for (const ResultRecord& r : f->records)
            times.push_back(r.time);
    }
    return times;
}

void RunFiles::refresh(Entry& e)
{
    const QFileInfo info(e.path);
    if (!info.exists()) {
        e.size = -1;
        e.ok = false;
        e.error = QStringLiteral("not written yet");
        return;
    }
    if (info.size() == e.size && info.lastModified() == e.modified)
        return;
    e.size = info.size();
    e.modified = info.lastModified();
    QString why;
    e.ok = ReadResultFile(e.path, e.content, why, settings_.LastFeeder + 1);
    // The reader names the file by its full path: the page shows only the file name.
    e.error = why.replace(e.path, info.fileName());
}

} // namespace hs::web
