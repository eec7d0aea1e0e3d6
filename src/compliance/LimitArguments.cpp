#include "compliance/LimitArguments.h"

namespace hs {

namespace {

bool parseNumbers(const QString& text, std::vector<double>& out)
{
    out.clear();
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() > 9)
        return false;
    for (const QString& part : parts) {
        bool ok = false;
        const double v = part.trimmed().toDouble(&ok);
        if (!ok)
            return false;
        out.push_back(v);
    }
    return true;
}

} // namespace

bool LimitArguments::take(const QStringList& args, qsizetype& i)
{
    const QString& a = args[i];
    const bool known = a == QLatin1String("--profile") || a == QLatin1String("--limits") ||
                       a == QLatin1String("--kv") || a == QLatin1String("--contract-kw") ||
                       a == QLatin1String("--il") || a == QLatin1String("--isc");
    if (!known)
        return false;
    given_ = true;
    if (i + 1 >= args.size()) {
        if (problem_.isEmpty())
            problem_ = QStringLiteral("%1 needs a value").arg(a);
        return true;
    }
    const QString value = args[++i];
    bool ok = true;
    if (a == QLatin1String("--profile")) {
        profile_ = value;
    } else if (a == QLatin1String("--limits")) {
        limitsFile_ = value;
    } else if (a == QLatin1String("--kv")) {
        params_.kv = value.toDouble(&ok);
        ok = ok && *params_.kv > 0;
    } else {
        ok = parseNumbers(value, a == QLatin1String("--contract-kw") ? params_.contractKw
                                 : a == QLatin1String("--il")       ? params_.il
                                                                    : params_.isc);
    }
    if (!ok && problem_.isEmpty())
        problem_ = a == QLatin1String("--kv")
                       ? QStringLiteral("--kv: '%1' is not a voltage in kV above 0").arg(value)
                       : QStringLiteral("%1: '%2' is not a list of up to 9 comma-separated numbers")
                             .arg(a, value);
    return true;
}

std::optional<LimitSelection> LimitArguments::selection(QString* why) const
{
    const auto refuse = [why](const QString& text) {
        if (why)
            *why = text;
        return std::nullopt;
    };
    if (!given_)
        return refuse(QString());
    if (!problem_.isEmpty())
        return refuse(problem_);
    if (profile_.isEmpty() && limitsFile_.isEmpty())
        return refuse(QStringLiteral("--profile: name a limit profile (%1) or give --limits FILE")
                          .arg(builtInProfileIds().join(QStringLiteral(", "))));
    Result<LimitProfile> profile =
        limitsFile_.isEmpty() ? builtInProfile(profile_) : loadLimitProfile(limitsFile_);
    if (!profile)
        return refuse((limitsFile_.isEmpty() ? QStringLiteral("--profile: ") : QStringLiteral("--limits: ")) +
                      profile.error().text);
    return LimitSelection{profile.value(), params_};
}

QString LimitArguments::help()
{
    return QStringLiteral(
        "  --profile ID          limit profile: jp-guideline, ieee519 or en50160\n"
        "  --limits FILE         a limit profile of the same JSON shape instead (see README)\n"
        "  --kv KV               receiving / nominal voltage in kV (jp-guideline: 6.6, 22, 33;\n"
        "                        ieee519: the voltage band)\n"
        "  --contract-kw LIST    contract demand in kW per feeder (jp-guideline)\n"
        "  --il LIST             maximum demand load current IL in A per feeder (ieee519)\n"
        "  --isc LIST            short-circuit current Isc in A per feeder (ieee519)\n"
        "                        (LIST: comma-separated, feeder 1 first; one value serves all)\n");
}

} // namespace hs
