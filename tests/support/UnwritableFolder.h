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
    // Whether the switch works here (root without the right to change its file-system user
    // cannot make a folder unwritable for itself).
    static bool possible()
    {
        if (::geteuid() != 0)
            return true;
        ::setfsuid(65534);
        const bool switched = ::setfsuid(0) == 65534;
        return switched;
    }

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
