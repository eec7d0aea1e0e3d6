#pragma once

#include <QStringList>

namespace hs {

// `harmonic-station report`: result files against a limit profile, as report.html, report.pdf
// and report.csv. Returns 0 when the report is written; with --check, 4 when a limit is
// exceeded; 1 when a file is refused or cannot be written; 2 for wrong usage or parameters.
int runReportCommand(const QStringList& args);
inline constexpr int kReportExceeded = 4;

} // namespace hs
