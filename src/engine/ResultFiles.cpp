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

#include <array>
#include <cerrno>
#include <cmath>
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
    FileIdentity identity;
    identityOfHandle(file->handle(), identity.device, identity.inode);
    files_.push_back(std::move(file));
    identities_.push_back(identity);
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
    for (auto& file : files_) {
        if (file->isOpen())
            file->close();
    }
    files_.clear();
    identities_.clear();
    lock_.release();
}

QStringList ResultFiles::TakeNotices()
{
    QStringList taken;
    taken.swap(notices_);
    return taken;
}

int ResultFiles::ensureSameFile(std::size_t fileIndex)
{
    QFile& file = *files_[fileIndex];
    const QString name = file.fileName();
    const FileIdentity& open = identities_[fileIndex];
    quint64 device = 0, inode = 0;
    const bool exists = identityOfPath(name, device, inode);
    if (exists && device == open.device && inode == open.inode)
        return kOk;

    // The name no longer leads to the open file: records written now would be lost with it.
    // A file that stands there instead is not ours to write into or to destroy: it is moved
    // aside. Then the folder and the file are made again under the same name.
    QString what;
    if (exists) {
        const QString aside =
            name + QStringLiteral(".") + clock_.now().toString(QStringLiteral("yyyyMMdd-HHmmss"));
        if (!QFile::rename(name, aside))
            return fail(kFileError,
                        QStringLiteral("結果ファイル「%1」が別のファイルに置き換えられ、移動もでき"
                                       "ません")
                            .arg(name));
        what = QStringLiteral("結果ファイル「%1」が別のファイルに置き換えられていたため「%2」に"
                              "移し、新しいファイルに記録を続けます")
                   .arg(name, aside);
    } else {
        what = QStringLiteral("結果ファイル「%1」が削除されていたため作り直して記録を続けます")
                   .arg(name);
    }
    const QString folder = QFileInfo(name).absolutePath();
    if (!QDir().mkpath(folder))
        return fail(kFileError, QStringLiteral("結果ファイルのフォルダ「%1」を作れません: %2")
                                    .arg(folder, systemReason(errno)));
    auto fresh = std::make_unique<QFile>(name);
    if (!fresh->open(QIODevice::ReadWrite | QIODevice::Unbuffered | QIODevice::Truncate))
        return fail(kFileError, QStringLiteral("結果ファイル「%1」を作り直せません: %2")
                                    .arg(name, fresh->errorString()));
    file.close();
    FileIdentity identity;
    identityOfHandle(fresh->handle(), identity.device, identity.inode);
    files_[fileIndex] = std::move(fresh);
    identities_[fileIndex] = identity;
    notices_ << clock_.now().toString(QStringLiteral("yyyy/MM/dd HH:mm ")) + what;
    return kOk;
}

QStringList ResultFiles::FileNames() const
{
    QStringList names;
    for (const auto& file : files_)
        names << file->fileName();
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
    QFile& file = *files_[fileIndex];
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
    const char* bytes = record.constData();
    qsizetype left = record.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, bytes, static_cast<std::size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failed(n < 0 ? errno : ENOSPC, start);
        bytes += n;
        left -= n;
    }
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
    for (int p = 0; p < 3; ++p) {
        const QByteArray record =
            BuildPhaseRecord(settings_, data_, ShotCount, settings_.StartDateTime, p);
        if (const int status = appendRecord(sz(p), record, &starts[sz(p)]); status != kOk) {
            // The three files hold records of the same saves: the ones already written go too.
            for (int q = 0; q < p; ++q)
                if (starts[sz(q)] >= 0 && ::ftruncate(files_[sz(q)]->handle(), starts[sz(q)]) == 0)
                    ::fsync(files_[sz(q)]->handle());
            return status;
        }
    }
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
