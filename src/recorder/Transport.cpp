#include "recorder/Transport.h"

namespace hs {

QString linkErrorText(LinkErrorKind kind)
{
    switch (kind) {
    case LinkErrorKind::Timeout:
        return QStringLiteral("測定器の応答がありません");
    case LinkErrorKind::Closed:
        return QStringLiteral("測定器との接続が切れています");
    case LinkErrorKind::Refused:
        return QStringLiteral("測定器が接続を拒否しました");
    case LinkErrorKind::Oversize:
        return QStringLiteral("測定器からのデータが長すぎます");
    case LinkErrorKind::Garbled:
        return QStringLiteral("測定器からのデータが正しくありません");
    }
    return {};
}

LinkError linkError(LinkErrorKind kind, int received)
{
    return LinkError{kind, linkErrorText(kind), received};
}

} // namespace hs
