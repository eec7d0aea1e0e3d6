#include "web/WebAccess.h"

#include "common/RegularFile.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>

namespace hs::web {

namespace {

std::optional<ServeOptions> failWith(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return std::nullopt;
}

bool readToken(const QString& path, QByteArray& token, QString* error)
{
    QFile file;
    QString why;
    if (openRegularFile(file, path, why) != RegularFileOpen::Opened) {
        if (error)
            *error = QStringLiteral("--serve-token: cannot read %1: %2").arg(path, why);
        return false;
    }
    const QByteArray head = file.read(kMaxTokenLength + 2);
    const qsizetype end = head.indexOf('\n');
    token = (end < 0 ? head : head.left(end)).trimmed();
    const bool printable = std::all_of(token.begin(), token.end(),
                                       [](char c) { return c > ' ' && c < 127 && c != ';'; });
    if (token.size() < kMinTokenLength || token.size() > kMaxTokenLength || !printable) {
        if (error)
            *error = QStringLiteral("--serve-token: the token must be %1 to %2 printable "
                                    "characters without blanks or ';' on the first line")
                         .arg(kMinTokenLength)
                         .arg(kMaxTokenLength);
        return false;
    }
    return true;
}

} // namespace

std::optional<ServeOptions> ParseServeOptions(const QString& spec, const QString& tokenFile,
                                              QString* error)
{
    ServeOptions o;
    QString host;
    QString portText = spec;
    const qsizetype colon = spec.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = spec.left(colon);
        portText = spec.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        if (host.isEmpty() || !o.address.setAddress(host))
            return failWith(error, QStringLiteral("--serve: '%1' is not an IP address").arg(host));
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port > 65535)
        return failWith(error, QStringLiteral("--serve: '%1' is not a port number").arg(portText));
    o.port = static_cast<quint16>(port);
    if (!tokenFile.isEmpty() && !readToken(tokenFile, o.token, error))
        return std::nullopt;
    if (!o.address.isLoopback() && o.token.isEmpty())
        return failWith(error, QStringLiteral("--serve: an address other than loopback needs "
                                              "--serve-token FILE"));
    return o;
}

bool ServeArguments::take(const QStringList& args, qsizetype& i)
{
    const QString& a = args[i];
    const bool serve = a == QStringLiteral("--serve");
    if (!serve && a != QStringLiteral("--serve-token"))
        return false;
    if (i + 1 >= args.size() || args[i + 1].startsWith(QStringLiteral("--"))) {
        missing_ = a;
        return true;
    }
    (serve ? spec_ : tokenFile_) = args[++i];
    return true;
}

std::optional<ServeOptions> ServeArguments::options(QString* error) const
{
    if (!missing_.isEmpty())
        return failWith(error, missing_ + QStringLiteral(" needs a value"));
    if (spec_.isEmpty()) {
        if (!tokenFile_.isEmpty())
            return failWith(error, QStringLiteral("--serve-token needs --serve"));
        return std::nullopt;
    }
    return ParseServeOptions(spec_, tokenFile_, error);
}

bool ConstantTimeEquals(QByteArrayView a, QByteArrayView b)
{
    const QByteArray ha = QCryptographicHash::hash(a, QCryptographicHash::Sha256);
    const QByteArray hb = QCryptographicHash::hash(b, QCryptographicHash::Sha256);
    unsigned char difference = 0;
    for (qsizetype i = 0; i < ha.size(); ++i)
        difference |= static_cast<unsigned char>(ha[i] ^ hb[i]);
    return difference == 0;
}

QByteArray CookieValue(QByteArrayView cookieHeader, QByteArrayView name)
{
    for (const QByteArray& item : cookieHeader.toByteArray().split(';')) {
        const QByteArray part = item.trimmed();
        const qsizetype eq = part.indexOf('=');
        if (eq > 0 && part.left(eq).trimmed() == name)
            return part.mid(eq + 1).trimmed();
    }
    return {};
}

bool IsLoopbackHost(QByteArrayView hostHeader, quint16 port)
{
    QByteArray host = hostHeader.trimmed().toByteArray().toLower();
    const QByteArray suffix = ':' + QByteArray::number(port);
    if (host.endsWith(suffix))
        host.chop(suffix.size());
    return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

} // namespace hs::web
