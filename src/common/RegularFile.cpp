#include "common/RegularFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hs {

RegularFileOpen openRegularFile(QFile& file, const QString& path, QString& why)
{
    // Non-blocking, so that a FIFO is opened (and refused) at once; the type is checked on the
    // opened descriptor, so a file swapped after a check cannot slip through.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = QString::fromLocal8Bit(std::strerror(errno));
        return RegularFileOpen::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = QStringLiteral("not a regular file");
        ::close(fd);
        return RegularFileOpen::NotRegular;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        why = file.errorString();
        ::close(fd);
        return RegularFileOpen::Failed;
    }
    return RegularFileOpen::Opened;
}

} // namespace hs
