#pragma once

#include <QStringList>

namespace hs {

// A subcommand of harmonic-station: `harmonic-station NAME args...`. run() receives the
// arguments after the name and returns the process exit code. The application object exists
// already (a QGuiApplication on the offscreen platform unless a display was asked for).
struct Subcommand {
    const char* name;
    const char* summary;
    int (*run)(const QStringList& args);
};

} // namespace hs
