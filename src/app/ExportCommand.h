#pragma once

#include <QStringList>

namespace hs {

// `harmonic-station export`: result files to CSV or JSON, a waveform file to COMTRADE, a
// result file's trend to PNG. args are the arguments after "export"; returns the exit code
// (0 all written, 1 a file was refused or could not be written, 2 wrong usage).
int runExportCommand(const QStringList& args);

} // namespace hs
