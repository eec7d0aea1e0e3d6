#pragma once

#include "compliance/ComplianceReport.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace hs {

// The limit profile and its parameters on a command line, as `report`, `measure` and the
// desktop program take them:
//   --profile jp-guideline|ieee519|en50160   a shipped profile
//   --limits FILE                            a profile from a file (replaces --profile)
//   --kv KV                                  receiving / nominal voltage
//   --contract-kw LIST, --il LIST, --isc LIST per feeder, comma-separated (one value: all)
struct LimitSelection {
    LimitProfile profile;
    ComplianceParameters params;
};

class LimitArguments {
public:
    // Takes args[i] (and its value, moving i on) when it is one of the options above.
    bool take(const QStringList& args, qsizetype& i);
    // Whether any of them was given.
    bool given() const { return given_; }
    // The selection once every argument is seen; nullopt with why set when a value is wrong
    // or no profile was named (why stays empty when none of the options was given).
    std::optional<LimitSelection> selection(QString* why) const;
    // The lines of the options for a usage text.
    static QString help();

private:
    bool given_ = false;
    QString profile_;
    QString limitsFile_;
    QString problem_;
    ComplianceParameters params_;
};

} // namespace hs
