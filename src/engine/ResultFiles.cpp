#include "engine/ResultFiles.h"

#include "common/Clock.h"
#include "common/DateText.h"
#include "common/Numbers.h"
#include "engine/HarmonicAnalysis.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"
#include "model/SettingsRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace hs {

namespace {

std::size_t sz(int v)
{
    return static_cast<std::size_t>(v);
}

} // namespace

// ---------------------------------------------------------------------------------------------

ResultFiles::ResultFiles(MeasurementSettings& settings, MeasurementData& data, const Clock& clock)
    : settings_(settings), data_(data), clock_(clock)
{
}

ResultFiles::~ResultFiles()
{
    Close();
}

int ResultFiles::fail(int status, const QString& text)
{
    errorText_ = text;
    return status;
}

namespace {

bool identityOfPath(const QString& path, quint64& device, quint64& inode)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    device = static_cast<quint64>(st.st_dev);
    inode = static_cast<quint64>(st.st_ino);
    return true;
}

bool identityOfHandle(int fd, quint64& device, quint64& inode)
{
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return false;
    device = static_cast<quint64>(st.st_dev);
    inode = static_cast<quint64>(st.st_ino);
    return true;
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Writes all of bytes at the descriptor's position: 0, or the system's error.
int writeAll(int fd, const QByteArray& bytes)
{
    const char* at = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, at, static_cast<std::size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        at += n;
        left -= n;
    }
    return 0;
}

// The bytes of [offset, offset + size) of the open file, empty when it has fewer.
QByteArray readAt(int fd, qint64 offset, qint64 size)
{
    QByteArray bytes(static_cast<qsizetype>(size), Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, bytes.data() + done, static_cast<std::size_t>(size - done),
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        done += n;
    }
    return bytes;
}

// A name beside the file for what stood under its name: "<name>.yyyyMMdd-HHmmss", with "-2",
// "-3", ... when that is taken, so that nothing moved aside before is replaced.
QString asideName(const QString& name, const QDateTime& now)
{
    const QString base = name + u'.' + now.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = base;
    for (int n = 2; QFileInfo(aside).exists() || QFileInfo(aside).isSymLink(); ++n)
        aside = base + u'-' + QString::number(n);
    return aside;
}

} // namespace

int ResultFiles::openFile(const QString& name, bool truncate)
{
    auto file = std::make_unique<QFile>(name);
    QIODevice::OpenMode mode = QIODevice::ReadWrite | QIODevice::Unbuffered;
    if (truncate)
        mode |= QIODevice::Truncate;
    if (name.isEmpty() || !file->open(mode)) {
        const QString reason =
            name.isEmpty() ? QStringLiteral("ファイル名がありません") : file->errorString();
        return fail(kFileError,
                    QStringLiteral("結果ファイル「%1」を開けません: %2").arg(name, reason));
    }
    OpenFile open;
    identityOfHandle(file->handle(), open.identity.device, open.identity.inode);
    open.file = std::move(file);
    files_.push_back(std::move(open));
    return kOk;
}

ResultFileLock::ResultFileLock() = default;

ResultFileLock::~ResultFileLock()
{
    release();
}

Result<void> ResultFileLock::take(const QString& outputFile)
{
    const QString path = QFileInfo(outputFile).absoluteFilePath();
    if (lock_ && outputFile_ == path)
        return {};
    release();
    auto lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        lock_ = std::move(lock);
        outputFile_ = path;
        return {};
    }
    // Only a lock held by another run refuses the files. A lock file that cannot be made (a
    // missing or read-only folder, a device such as /dev/full) leaves the opening of the files
    // themselves to say what is wrong.
    if (lock->error() != QLockFile::LockFailedError)
        return {};
    qint64 pid = 0;
    QString host;
    QString program;
    lock->getLockInfo(&pid, &host, &program);
    return fail(Error{0, QStringLiteral("結果ファイル「%1」は別の測定が使用中です（%2、%3 の"
                                        "プロセス %4）")
                             .arg(outputFile, program, host)
                             .arg(pid)});
}

void ResultFileLock::renew()
{
    if (!lock_)
        return;
    const QString path = outputFile_ + QStringLiteral(".lock");
    if (QFileInfo::exists(path))
        return;
    // Letting go of the old lock removes its file: an empty file stands in for it, so that the
    // old lock goes quietly and the new one's file stays.
    if (QFile standIn(path); standIn.open(QIODevice::WriteOnly))
        standIn.close();
    lock_->unlock();
    lock_ = std::make_unique<QLockFile>(path);
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0))
        lock_.reset();
}

void ResultFileLock::release()
{
    if (lock_)
        lock_->unlock();
    lock_.reset();
    outputFile_.clear();
}

int ResultFiles::Open()
{
    Close();
    errorText_.clear();
    notices_.clear();
    if (const Result<void> locked = lock_.take(settings_.OutputFile);
        !settings_.OutputFile.isEmpty() && !locked)
        return fail(kFileError, locked.error().text);
    for (const QString& name : ResultFileNames(settings_.OutputFile, settings_.MeasureType())) {
        if (openFile(name, true) != kOk) {
            const QString error = errorText_;
            Close();
            errorText_ = error;
            return kFileError;
        }
    }
    return kOk;
}

void ResultFiles::Close()
{
    for (auto& open : files_) {
        if (open.file->isOpen())
            open.file->close();
    }
    files_.clear();
    lock_.release();
}

QStringList ResultFiles::TakeNotices()
{
    QStringList taken;
    taken.swap(notices_);
    return taken;
}

// The open file is as long as the records written to it and begins and ends with the first and
// last of them: nobody cut it short, wrote over it or added to it. A device or a pipe keeps
// nothing to compare and is taken as it is.
bool ResultFiles::holdsItsRecords(const OpenFile& f) const
{
    struct stat st {};
    const int fd = f.file->handle();
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode))
        return true;
    if (static_cast<qint64>(st.st_size) != f.length)
        return false;
    if (f.length == 0)
        return true;
    return readAt(fd, 0, f.first.size()) == f.first &&
           readAt(fd, f.length - f.last.size(), f.last.size()) == f.last;
}

int ResultFiles::ensureSameFile(std::size_t fileIndex)
{
    OpenFile& f = files_[fileIndex];
    const QString name = f.file->fileName();
    FileIdentity atName;
    const bool exists = identityOfPath(name, atName.device, atName.inode);
    const bool intact = holdsItsRecords(f);
    if (exists && atName == f.identity && intact)
        return kOk;
    // Records written now would be lost with the file, or stand behind bytes that are not
    // ours. Whatever stands under the name is not ours to write into or to destroy: it is
    // moved aside.
    QString why;
    if (!exists)
        why = QStringLiteral("結果ファイル「%1」が削除されていたため作り直して記録を続けます");
    else if (atName == f.identity)
        why = QStringLiteral("結果ファイル「%1」が別の書き込みで変えられていたため「%2」に移し、"
                             "新しいファイルに記録を続けます");
    else
        why = QStringLiteral("結果ファイル「%1」が別のファイルに置き換えられていたため「%2」に"
                             "移し、新しいファイルに記録を続けます");
    return makeAgain(f, exists, intact, why);
}

// Moves what stands under the file's name aside, makes the folder and the file again, and
// writes the records the file held into it: the ones kept, or else the old file's while it
// is intact. A notice says what happened and what was written again or lost.
int ResultFiles::makeAgain(OpenFile& f, bool exists, bool intact, const QString& why)
{
    const QString name = f.file->fileName();
    QByteArray records = f.keptAll ? f.kept
                         : intact  ? readAt(f.file->handle(), 0, f.length)
                                   : QByteArray();
    const bool restored = records.size() == f.length;
    if (!restored)
        records.clear();

    QString what = why.arg(name);
    if (exists) {
        const QString aside = asideName(name, clock_.now());
        if (::rename(QFile::encodeName(name).constData(), QFile::encodeName(aside).constData()) !=
            0)
            return fail(kFileError,
                        QStringLiteral("結果ファイル「%1」が変えられていますが、移すこともできませ"
                                       "ん: %2")
                            .arg(name, systemReason(errno)));
        what = why.arg(name, aside);
    }
    const QString folder = QFileInfo(name).absolutePath();
    if (!QDir().mkpath(folder))
        return fail(kFileError, QStringLiteral("結果ファイルのフォルダ「%1」を作れません: %2")
                                    .arg(folder, systemReason(errno)));
    lock_.renew();
    auto fresh = std::make_unique<QFile>(name);
    if (!fresh->open(QIODevice::ReadWrite | QIODevice::Unbuffered | QIODevice::Truncate))
        return fail(kFileError, QStringLiteral("結果ファイル「%1」を作り直せません: %2")
                                    .arg(name, fresh->errorString()));
    if (const int error = writeAll(fresh->handle(), records);
        error != 0 || ::fsync(fresh->handle()) != 0) {
        const int reason = error != 0 ? error : errno;
        if (::ftruncate(fresh->handle(), 0) == 0)
            ::fsync(fresh->handle());
        return fail(kFileError, QStringLiteral("結果ファイル「%1」に書き込めません: %2")
                                    .arg(name, systemReason(reason)));
    }
    f.file->close();
    f.file = std::move(fresh);
    identityOfHandle(f.file->handle(), f.identity.device, f.identity.inode);
    if (restored) {
        if (f.held > 0)
            what += QStringLiteral("（それまでの記録 %1件を書き直しました）").arg(f.held);
    } else {
        what += QStringLiteral("（それまでの記録 %1件は失われました）").arg(f.held);
        f.length = 0;
        f.held = 0;
        f.first.clear();
        f.last.clear();
        f.kept.clear();
        f.keptAll = true;
    }
    notices_ << clock_.now().toString(QStringLiteral("yyyy/MM/dd HH:mm ")) + what;
    return kOk;
}

int ResultFiles::CheckFiles()
{
    for (std::size_t i = 0; i < files_.size(); ++i)
        if (const int status = ensureSameFile(i); status != kOk)
            return status;
    return kOk;
}

qint64 ResultFiles::RecordsLost() const
{
    qint64 lost = 0;
    for (const OpenFile& f : files_)
        lost = std::max(lost, f.written - f.held);
    return lost;
}

void ResultFiles::noteWritten(std::size_t fileIndex, const QByteArray& record)
{
    OpenFile& f = files_[fileIndex];
    f.length += record.size();
    ++f.written;
    ++f.held;
    if (f.first.isEmpty())
        f.first = record;
    f.last = record;
    if (!f.keptAll)
        return;
    if (f.kept.size() + record.size() <= keptLimit_) {
        f.kept += record;
    } else {
        f.kept = QByteArray();
        f.keptAll = false;
    }
}

QStringList ResultFiles::FileNames() const
{
    QStringList names;
    for (const auto& open : files_)
        names << open.file->fileName();
    return names;
}

int ResultFiles::checkLayout()
{
    const MeasurementData& d = data_;
    const std::size_t feeders = sz(settings_.LastFeeder + 1);
    const std::size_t lastOrder = sz(settings_.Orders256 ? 256 : 49);
    const bool ok =
        settings_.LastFeeder >= 0 && settings_.LastFeeder <= 8 && settings_.SaveOption() >= 0 &&
        settings_.SaveOption() <= 4 && d.IntVoltByOrder.size() > lastOrder &&
        d.VoltByOrder.size() > lastOrder && d.IntVoltSuperRe.size() > lastOrder &&
        d.IntVoltSuperIm.size() > lastOrder && d.VoltSuperRe.size() > lastOrder &&
        d.VoltSuperIm.size() > lastOrder && d.IntCurByOrder.dim0() >= feeders &&
        d.IntCurByOrder.dim1() > lastOrder && d.CurByOrder.dim0() >= feeders &&
        d.CurByOrder.dim1() > lastOrder && d.IntActivePower.dim0() >= feeders &&
        d.IntActivePower.dim1() > lastOrder && d.IntReactivePower.dim0() >= feeders &&
        d.IntReactivePower.dim1() > lastOrder && d.ActivePower.dim0() >= feeders &&
        d.ActivePower.dim1() > lastOrder && d.ReactivePower.dim0() >= feeders &&
        d.ReactivePower.dim1() > lastOrder && d.IntCurSuperRe.dim0() >= 1 &&
        d.IntCurSuperRe.dim1() > lastOrder && d.IntCurSuperIm.dim0() >= 1 &&
        d.IntCurSuperIm.dim1() > lastOrder && d.CurSuperRe.dim0() >= 1 &&
        d.CurSuperRe.dim1() > lastOrder && d.CurSuperIm.dim0() >= 1 &&
        d.CurSuperIm.dim1() > lastOrder && d.VoltCos.dim0() >= 6 && d.VoltCos.dim1() > lastOrder &&
        d.VoltSin.dim0() >= 6 && d.VoltSin.dim1() > lastOrder && d.CurCos.dim0() >= feeders &&
        d.CurCos.dim1() >= 6 && d.CurCos.dim2() > lastOrder && d.CurSin.dim0() >= feeders &&
        d.CurSin.dim1() >= 6 && d.CurSin.dim2() > lastOrder && d.IntCurRms.dim0() >= feeders &&
        d.CurRms.dim0() >= feeders;
    if (!ok)
        return fail(
            kLayoutError,
            QStringLiteral("結果ファイルに書き込めません: 測定データの大きさが設定と合いません"));
    return kOk;
}

int ResultFiles::appendRecord(std::size_t fileIndex, const QByteArray& record, qint64* startOut)
{
    if (const int status = ensureSameFile(fileIndex); status != kOk)
        return status;
    QFile& file = *files_[fileIndex].file;
    const int fd = file.handle();
    const QString name = file.fileName();
    const auto failed = [&](int error, off_t cutBackTo) {
        // Leave the file ending on its last whole record.
        if (cutBackTo >= 0 && ::ftruncate(fd, cutBackTo) == 0)
            ::fsync(fd);
        return fail(kFileError, QStringLiteral("結果ファイル「%1」に書き込めません: %2")
                                    .arg(name, systemReason(error)));
    };
    // Records follow each other; the file's end is where the next one goes (whatever an older
    // writer left behind the position is not ours).
    const off_t start = ::lseek(fd, 0, SEEK_END);
    if (start < 0)
        return failed(errno, -1);
    if (startOut != nullptr)
        *startOut = start;
    if (const int error = writeAll(fd, record); error != 0)
        return failed(error, start);
    if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
        return failed(errno, start);
    return kOk;
}

void ResultFiles::clearInterval(bool phaseSums)
{
    MeasurementData& d = data_;
    const std::vector<int> orders = OrderSet(settings_.Orders256);
    const std::size_t feeders = sz(settings_.LastFeeder + 1);
    for (int n : orders) {
        const std::size_t k = sz(n);
        d.IntVoltByOrder[k] = 0;
        for (std::size_t f = 0; f < feeders; ++f) {
            d.IntCurByOrder(f, k) = 0;
            d.IntActivePower(f, k) = 0;
            d.IntReactivePower(f, k) = 0;
        }
        if (!phaseSums) {
            d.IntVoltSuperRe[k] = 0;
            d.IntVoltSuperIm[k] = 0;
            d.IntCurSuperRe(0, k) = 0;
            d.IntCurSuperIm(0, k) = 0;
        }
    }
    d.IntVoltRms = {};
    for (std::size_t f = 0; f < feeders; ++f)
        for (std::size_t c = 0; c < 3; ++c)
            d.IntCurRms(f, c) = 0;
    if (phaseSums) {
        // Every order up to the last of the set, even orders included.
        const std::size_t last = sz(orders.back());
        for (std::size_t k = 1; k <= last; ++k) {
            for (std::size_t slot = 3; slot < 6; ++slot) {
                d.VoltCos(slot, k) = 0;
                d.VoltSin(slot, k) = 0;
                for (std::size_t f = 0; f < feeders; ++f) {
                    d.CurCos(f, slot, k) = 0;
                    d.CurSin(f, slot, k) = 0;
                }
            }
        }
    }
}

int ResultFiles::finishSave(std::int16_t& ShotCount, bool phaseSums)
{
    clearInterval(phaseSums);
    ShotCount = 0;
    settings_.StartDateTime = settings_.StartDateTime.addSecs(60LL * settings_.SaveIntervalMin);
    lastWaveformFile_.clear();
    if (settings_.SaveWaveforms)
        return WriteWaveformFile();
    return kOk;
}

void ResultFiles::SkipSave(std::int16_t& ShotCount)
{
    clearInterval(settings_.MeasureType() == 4);
    ShotCount = 0;
    settings_.StartDateTime = settings_.StartDateTime.addSecs(60LL * settings_.SaveIntervalMin);
}

int ResultFiles::WriteResultRecord(std::int16_t& ShotCount)
{
    if (files_.empty())
        return fail(
            kFileError,
            QStringLiteral("結果ファイル「%1」が開かれていません").arg(settings_.OutputFile));
    if (const int status = checkLayout(); status != kOk)
        return status;
    if (ShotCount <= 0)
        return kNoShot;
    const QByteArray record =
        BuildResultRecord(settings_, data_, ShotCount, settings_.StartDateTime);
    if (const int status = appendRecord(0, record); status != kOk)
        return status;
    noteWritten(0, record);
    return finishSave(ShotCount, false);
}

int ResultFiles::WritePhaseRecords(std::int16_t& ShotCount)
{
    if (files_.size() < 3)
        return fail(
            kFileError,
            QStringLiteral("相別の結果ファイル「%1」が開かれていません").arg(settings_.OutputFile));
    if (const int status = checkLayout(); status != kOk)
        return status;
    if (ShotCount <= 0)
        return kNoShot;
    std::array<qint64, 3> starts{-1, -1, -1};
    std::array<QByteArray, 3> records;
    for (int p = 0; p < 3; ++p) {
        records[sz(p)] = BuildPhaseRecord(settings_, data_, ShotCount, settings_.StartDateTime, p);
        if (const int status = appendRecord(sz(p), records[sz(p)], &starts[sz(p)]); status != kOk) {
            // The three files hold records of the same saves: the ones already written go too.
            for (int q = 0; q < p; ++q) {
                const int fd = files_[sz(q)].file->handle();
                if (starts[sz(q)] >= 0 && ::ftruncate(fd, starts[sz(q)]) == 0)
                    ::fsync(fd);
            }
            return status;
        }
    }
    for (std::size_t p = 0; p < 3; ++p)
        noteWritten(p, records[p]);
    return finishSave(ShotCount, true);
}

int ResultFiles::WriteSave(std::int16_t& ShotCount)
{
    return settings_.MeasureType() == 4 ? WritePhaseRecords(ShotCount)
                                        : WriteResultRecord(ShotCount);
}

int ResultFiles::WriteWaveformFile()
{
    QString folder = settings_.OutputFolder;
    if (folder.isEmpty() && !settings_.OutputFile.isEmpty())
        folder = QFileInfo(settings_.OutputFile).path();
    const QString path = WaveformFileName(folder, clock_.now());
    QString error;
    if (!WriteWholeFile(path, BuildWaveformFile(data_), error))
        return fail(kFileError, error);
    lastWaveformFile_ = path;
    return kOk;
}

} // namespace hs
