#pragma once

// A folder this process may not write into, also when the tests run as root (root writes
// anywhere): the folder's mode is 0555 and, while an AsAnotherUser object lives, the thread's
// file-system user is "nobody", for whom no permission is overridden.

#include <QDir>
#include <QFile>
#include <QString>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hs::testing {

// Makes `folder` (and its parent readable for everyone); false when it cannot.
inline bool makeUnwritableFolder(const QString& folder)
{
    if (!QDir().mkpath(folder))
        return false;
    const QByteArray parent =
        QFile::encodeName(QDir(folder + QStringLiteral("/..")).absolutePath());
    return ::chmod(parent.constData(), 0755) == 0 &&
           ::chmod(QFile::encodeName(folder).constData(), 0555) == 0;
}

class AsAnotherUser {
public:
    AsAnotherUser() : root_(::geteuid() == 0)
    {
        if (root_)
            ::setfsuid(65534);
    }
    ~AsAnotherUser()
    {
        if (root_)
            ::setfsuid(0);
    }
    AsAnotherUser(const AsAnotherUser&) = delete;
    AsAnotherUser& operator=(const AsAnotherUser&) = delete;

private:
    bool root_;
};

} // namespace hs::testing
