#pragma once

#include <QFile>
#include <QString>

namespace hs {

// Opens path for reading only when it is a regular file (links followed). A FIFO, a device, a
// socket or a folder is refused without waiting: opening a FIFO that no program writes to would
// otherwise block for good. Unless Opened, why holds the system's reason (Failed: missing,
// no permission, ...) or "not a regular file" (NotRegular).
enum class RegularFileOpen { Opened, Failed, NotRegular };
RegularFileOpen openRegularFile(QFile& file, const QString& path, QString& why);

} // namespace hs
