#pragma once

#include <QStringList>

namespace hs {

// `harmonic-station collect --mqtt URL [--db DB]`: the fleet's records from the broker into a
// database, until SIGINT or SIGTERM. args are the arguments after "collect"; returns the exit
// code (0 after a stop by signal, 1 when it cannot start, 2 wrong usage).
int runCollectCommand(const QStringList& args);

} // namespace hs
