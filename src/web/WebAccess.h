#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>

namespace hs::web {

// How the status page is served: where it listens, the token every request must carry (when
// one is set) and the bounds that keep a busy or hostile network from disturbing the station.
struct ServeOptions {
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;           // 0: any free port
    QByteArray token;           // empty: no token asked for (loopback only)
    int maxConnections = 32;    // open connections at most; the longest idle one gives way
    int maxRequestBytes = 8192; // request line and headers (GET requests carry no body)
    int idleTimeoutMs = 20000;  // a connection without traffic this long is closed (real time)
};

// Smallest and largest token length accepted from a token file.
inline constexpr int kMinTokenLength = 16;
inline constexpr int kMaxTokenLength = 1024;

// Reads "[ADDR:]PORT" ("8080", "127.0.0.1:8080", "0.0.0.0:8080", "[::1]:8080") and the token
// file. An address other than loopback requires a token file; the token is the file's first
// line without surrounding blanks, kMinTokenLength..kMaxTokenLength printable characters.
// nullopt with the reason in error.
std::optional<ServeOptions> ParseServeOptions(const QString& spec, const QString& tokenFile,
                                              QString* error);

// The status page's two command-line options as every program that serves the page takes them:
// "--serve [ADDR:]PORT" and "--serve-token FILE", each followed by its value.
class ServeArguments {
public:
    // Whether args[i] is one of the two options; when it is, its value is taken too (i then
    // names the value). A missing value is reported by options().
    bool take(const QStringList& args, qsizetype& i);
    // Once every argument was seen: the options, nullopt without --serve. When they are wrong
    // (a value missing, a token file without --serve, a bad address, port or token file)
    // nullopt with the reason in error, which stays untouched otherwise.
    std::optional<ServeOptions> options(QString* error) const;

private:
    QString spec_;
    QString tokenFile_;
    QString missing_; // an option given without its value
};

// Equality of two secrets in a time that does not depend on where they differ (both are hashed
// to a fixed length first, so their lengths do not show either).
bool ConstantTimeEquals(QByteArrayView a, QByteArrayView b);

// The value of cookie name in a Cookie header ("a=1; hs_token=xyz"), empty when absent.
QByteArray CookieValue(QByteArrayView cookieHeader, QByteArrayView name);

// Whether a Host header names this loopback server ("127.0.0.1:8080", "localhost:8080",
// "[::1]:8080", with or without the port). A page on another site that gets a browser to send
// requests here by a re-bound name carries its own host name and is refused.
bool IsLoopbackHost(QByteArrayView hostHeader, quint16 port);

} // namespace hs::web
