#include "sim/FaultPlan.h"

namespace hs::sim {

namespace {

bool parseCount(const QString& text, int minimum, int& out)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < minimum)
        return false;
    out = v;
    return true;
}

// "N" or "N/M": the first number into first, the optional second into second.
bool parsePair(const QString& text, int& first, int& second)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    if (parts.size() > 2 || !parseCount(parts[0], 1, first))
        return false;
    return parts.size() == 1 || parseCount(parts[1], 0, second);
}

} // namespace

bool FaultPlan::any() const
{
    return silentQuery > 0 || !silentCommand.isEmpty() || replyDelayMs > 0 || shortBlock > 0 ||
           splitBlockBytes > 0 || garbageReply > 0 || dropAfterCommands > 0 || noTrigger ||
           noZeroCrossing;
}

QString FaultPlan::describe() const
{
    QStringList d;
    if (silentQuery > 0)
        d << QStringLiteral("no reply to query %1").arg(silentQuery);
    if (!silentCommand.isEmpty())
        d << QStringLiteral("no reply to %1").arg(silentCommand);
    if (replyDelayMs > 0)
        d << QStringLiteral("replies delayed %1 ms").arg(replyDelayMs);
    if (shortBlock > 0)
        d << QStringLiteral("block %1 cut to %2 bytes").arg(shortBlock).arg(shortBlockBytes);
    if (splitBlockBytes > 0)
        d << QStringLiteral("blocks in %1-byte segments").arg(splitBlockBytes);
    if (garbageReply > 0)
        d << QStringLiteral("%1 garbage bytes before reply %2").arg(garbageBytes).arg(garbageReply);
    if (dropAfterCommands > 0)
        d << QStringLiteral("connection dropped after %1 commands").arg(dropAfterCommands);
    if (noTrigger)
        d << QStringLiteral("never triggers");
    if (noZeroCrossing)
        d << QStringLiteral("signals without zero crossing");
    return d.isEmpty() ? QStringLiteral("none") : d.join(QStringLiteral(", "));
}

bool applyFaultOption(const QString& option, std::array<FaultPlan, 2>& plans, QString* error)
{
    QString text = option.trimmed();
    int first = 0, last = 1;
    if (text.size() > 2 && text[1] == QLatin1Char(':') &&
        (text[0] == QLatin1Char('1') || text[0] == QLatin1Char('2'))) {
        first = last = text[0].digitValue() - 1;
        text = text.mid(2);
    }
    const int eq = text.indexOf(QLatin1Char('='));
    const QString key = (eq < 0 ? text : text.left(eq)).trimmed().toLower();
    const QString value = eq < 0 ? QString() : text.mid(eq + 1).trimmed();
    auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("fault \"%1\": %2").arg(option, why);
        return false;
    };
    for (int r = first; r <= last; ++r) {
        FaultPlan& p = plans[static_cast<std::size_t>(r)];
        if (key == QLatin1String("silent-query")) {
            if (!parseCount(value, 1, p.silentQuery))
                return fail(QStringLiteral("needs a query number from 1"));
        } else if (key == QLatin1String("silent-command")) {
            if (value.isEmpty())
                return fail(QStringLiteral("needs a command header such as :MEM:MAXP?"));
            p.silentCommand = value;
        } else if (key == QLatin1String("reply-delay")) {
            int ms = 0;
            if (!parseCount(value, 0, ms))
                return fail(QStringLiteral("needs milliseconds"));
            p.replyDelayMs = ms;
        } else if (key == QLatin1String("short-block")) {
            if (!parsePair(value, p.shortBlock, p.shortBlockBytes))
                return fail(QStringLiteral("needs N or N/BYTES"));
        } else if (key == QLatin1String("split-block")) {
            if (!parseCount(value, 1, p.splitBlockBytes))
                return fail(QStringLiteral("needs a segment size from 1 byte"));
        } else if (key == QLatin1String("garbage")) {
            if (!parsePair(value, p.garbageReply, p.garbageBytes))
                return fail(QStringLiteral("needs N or N/BYTES"));
        } else if (key == QLatin1String("drop-after")) {
            if (!parseCount(value, 1, p.dropAfterCommands))
                return fail(QStringLiteral("needs a command count from 1"));
        } else if (key == QLatin1String("no-trigger") && value.isEmpty()) {
            p.noTrigger = true;
        } else if (key == QLatin1String("no-crossing") && value.isEmpty()) {
            p.noZeroCrossing = true;
        } else {
            return fail(QStringLiteral("unknown fault"));
        }
    }
    return true;
}

QString faultOptionHelp()
{
    return QStringLiteral(
        "Faults (--fault [R:]KEY[=VALUE], R = 1 or 2, both recorders when omitted; repeatable):\n"
        "  silent-query=N       no reply to the N-th query\n"
        "  silent-command=HDR   never reply to queries with this header, e.g. :MEM:MAXP?\n"
        "  reply-delay=MS       wait MS nominal milliseconds before every reply\n"
        "  short-block=N[/B]    cut the N-th binary block to B bytes (default 100)\n"
        "  split-block=B        send every binary block in segments of B bytes\n"
        "  garbage=N[/B]        put B garbage bytes (default 16) in front of the N-th reply\n"
        "  drop-after=N         close the connection after the N-th command\n"
        "  no-trigger           never trigger (:MEM:MAXP? stays 0)\n"
        "  no-crossing          lift every input above zero (shots still complete)\n");
}

} // namespace hs::sim
