#pragma once

#include <QString>
#include <QStringList>

#include <array>

namespace hs::sim {

// Faults a simulated recorder can be told to commit, for tests and dry runs of the station's
// failure paths. Counts are 1-based and run from the moment the plan is set; 0 means "off".
struct FaultPlan {
    int silentQuery = 0;         // the n-th query gets no reply
    QString silentCommand;       // queries with this header (":MEM:MAXP?") never get a reply
    qint64 replyDelayMs = 0;     // nominal delay before every reply
    int shortBlock = 0;          // the n-th binary block is cut short ...
    int shortBlockBytes = 100;   // ... to this many bytes
    int splitBlockBytes = 0;     // every binary block goes out in segments of this many bytes
    int garbageReply = 0;        // the n-th reply is preceded by garbage bytes ...
    int garbageBytes = 16;       // ... this many (never a line feed)
    int dropAfterCommands = 0;   // the connection is closed after the n-th command
    bool noTrigger = false;      // armed shots never trigger (":MEM:MAXP?" stays 0)
    bool noZeroCrossing = false; // every input lifted above zero; shots still complete

    bool any() const;
    // A one-line description ("no reply to query 3, blocks in 7-byte segments").
    QString describe() const;
};

// Applies one fault option "[R:]KEY[=VALUE]" (R the recorder, 1 or 2; both when omitted) to the
// plans. Keys: silent-query=N, silent-command=HEADER, reply-delay=MS, short-block=N[/BYTES],
// split-block=BYTES, garbage=N[/BYTES], drop-after=N, no-trigger, no-crossing.
bool applyFaultOption(const QString& option, std::array<FaultPlan, 2>& plans, QString* error);

// The help text listing the keys, for the command line.
QString faultOptionHelp();

} // namespace hs::sim
