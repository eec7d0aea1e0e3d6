#include "recorder/AddressFile.h"

#include "common/RegularFile.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>

#include <cstdint>

namespace hs {

namespace {

constexpr qint64 kMaxFileBytes = 4 * (2 + kAddressTextMaxBytes);

// Reads one entry at pos; false when the count is out of bounds or the bytes are not there.
bool takeText(const QByteArray& data, qsizetype& pos, QString& text)
{
    if (pos + 2 > data.size())
        return false;
    const auto lo = static_cast<std::uint8_t>(data[pos]);
    const auto hi = static_cast<std::uint8_t>(data[pos + 1]);
    const auto count = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
    pos += 2;
    if (count < 0 || count > kAddressTextMaxBytes || pos + count > data.size())
        return false;
    text = QString::fromLocal8Bit(data.constData() + pos, count);
    pos += count;
    return true;
}

void putText(QByteArray& out, const QByteArray& bytes)
{
    const auto count = static_cast<std::uint16_t>(bytes.size());
    out.append(static_cast<char>(count & 0xFF));
    out.append(static_cast<char>(count >> 8));
    out.append(bytes);
}

} // namespace

std::optional<AddressTexts> readAddressFile(const QString& path, bool* notAFile)
{
    QFile file;
    QString why;
    const RegularFileOpen opened = openRegularFile(file, path, why);
    if (notAFile)
        *notAFile = opened == RegularFileOpen::NotRegular;
    if (opened != RegularFileOpen::Opened)
        return std::nullopt;
    const QByteArray data = file.read(kMaxFileBytes);
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;

    AddressTexts texts;
    qsizetype pos = 0;
    QString* order[] = {&texts.addresses[0], &texts.addresses[1], &texts.ports[0], &texts.ports[1]};
    for (QString* text : order) {
        if (!takeText(data, pos, *text))
            return std::nullopt;
    }
    return texts;
}

bool writeAddressFile(const QString& path, const AddressTexts& texts)
{
    QByteArray out;
    for (const QString* text :
         {&texts.addresses[0], &texts.addresses[1], &texts.ports[0], &texts.ports[1]}) {
        const QByteArray bytes = text->toLocal8Bit();
        if (bytes.size() > kAddressTextMaxBytes)
            return false;
        putText(out, bytes);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(out) != out.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace hs
