#pragma once

#include "files/ResultFileReader.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <vector>

namespace hs {
struct MeasurementSettings;
}

namespace hs::web {

// The result files of the run, read back through the reader library. A file is read again only
// when its size or modification time changed, so that polling clients cost no disk reads
// between saves. Only these files are ever offered for download: their names come from the
// settings, never from a request.
class RunFiles {
public:
    explicit RunFiles(const MeasurementSettings& settings);

    // The files the run writes (the phase files R, T, S for the three-meter type).
    QStringList names() const;
    // File i as read at its last change; nullptr when it does not exist (yet) or cannot be
    // read, with the reason (without the folder) in error.
    const ResultFile* file(int i, QString* error = nullptr);
    // The save times of the first file's records.
    std::vector<QDateTime> recordTimes();

private:
    struct Entry {
        QString path;
        qint64 size = -1;
        QDateTime modified;
        bool ok = false;
        QString error;
        ResultFile content;
    };
    void refresh(Entry& e);

    const MeasurementSettings& settings_;
    std::vector<Entry> entries_;
};

} // namespace hs::web
