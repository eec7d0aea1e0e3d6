#pragma once

#include "recorder/RecorderCommands.h"
#include "recorder/Transport.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <span>

namespace hs {

struct RecorderFacts;

using DrawMode = cmd::DrawMode;

// The ":FDISK:SAVE" line for one recorder: the quoted file name from the scheduled time
// ("07D9H05.WAV"), ",Bin," for recorders whose ModelClass is not 0 (else ",W,"), and what to
// save ("ALL" for FdSaveMode 5, else "CH" and the mode in the spaced form, "CH 3").
QString FloppySaveLine(const QDateTime& saveTime, int modelClass, int fdSaveMode);

// One recorder and the typed operations the station asks of it. The command texts and reply
// parsing are RecorderCommands'; the bytes go over the Transport. Every operation returns its
// value or the link error that stopped it; an operation that met a lost connection (closed or
// refused) marks the recorder lost until its link is opened again.
class Recorder {
public:
    Recorder(Transport& link, int index) : link_(link), index_(index) {}

    int index() const { return index_; }
    // A closed or refused connection was met since the link was last opened.
    bool linkLost() const { return lost_; }

    // --- Identification and set-up ---
    LinkStatus clearStatus();
    LinkReply<std::int16_t> identify();                  // the model (0 when none reads)
    LinkReply<std::array<std::int16_t, 16>> unitCodes(); // input unit of channels 1..16
    LinkStatus reset();
    LinkStatus idleSetup();
    LinkStatus headerOff();
    LinkStatus setClock(const QDateTime& now); // date, then time
    LinkStatus autoSetup();
    LinkStatus abort();

    // --- Configuration ---
    LinkStatus setDrawMode(int ch, DrawMode mode);
    LinkStatus channel1TriggerOff();
    LinkStatus setMemoryFormat(bool quad); // 100 divisions per shot, DUAL or QUAD
    LinkStatus setZeroPosition(int ch);
    LinkStatus triggerOff(int ch);
    LinkStatus setGraph(int ch, int graph);
    // Triggers on a rising zero crossing of ch, single shots with 2 % pre-trigger.
    LinkStatus triggerOnRisingZero(int ch);
    // Follows another recorder through the external trigger input.
    LinkStatus followExternalTrigger();
    LinkStatus zeroAdjust();

    // --- Ranges ---
    // The range (V/div) of a channel; Garbled when the reply holds no usable range.
    LinkReply<double> readRange(int ch);
    // The display divisor of a channel; Garbled when the reply holds none.
    LinkReply<double> readMagnification(int ch);
    LinkStatus setRange(int ch, double range);
    LinkStatus setMagnification(int ch, double divisor);

    // --- Shots and data ---
    LinkStatus start();
    // The samples stored by the last shot (0 when the reply holds no number).
    LinkReply<double> storedSamples();
    // The memory position the next transfer starts at: spaced ("CH 3, 400") or plain ("CH3,0").
    LinkStatus pointAt(int ch, int point, bool spaced = true);
    LinkStatus requestBlock(int samples);
    // A block reply of exactly `bytes` bytes, at positions 1..bytes of the returned view. A
    // block of any other length is not the one asked for (the remains of a block cut short in
    // front of it, or replies joined): Garbled. After any failure whatever the connection holds
    // is dropped, so that a block asked for again arrives alone.
    LinkReply<std::span<const std::uint8_t>> receiveBlock(int bytes);
    LinkStatus requestAscii();
    LinkReply<std::array<std::int16_t, cmd::kAsciiSamples>> receiveAscii(int modelClass);
    // Takes whatever reply is still on its way.
    void drainReply();
    void clearReceived();

    // --- Printing and the recorder's floppy disk ---
    LinkStatus print();
    LinkStatus listGauge();
    LinkStatus configureShot50();
    LinkStatus configureShot100();
    LinkStatus enableFloppy(int modelClass);
    LinkStatus floppyOff();
    // Saves under the name of the scheduled save time (see FloppySaveLine).
    LinkStatus saveToFloppy(const QDateTime& saveTime, int modelClass, int fdSaveMode);

    // --- The link ---
    // Connects within one link-timer period: Refused or Timeout when no connection is made.
    LinkStatus open(const QString& host, quint16 port);
    void close();
    // Opens the link again at its last address; false when it was never opened.
    bool reopen();
    bool isOpen() const { return link_.isOpen(index_); }

private:
    LinkStatus send(const QString& line);
    LinkReply<QString> query(const QString& line);
    template <typename R> R noted(R result);

    Transport& link_;
    int index_;
    bool lost_ = false;
};

// The recorders of the station: recorder 1 always, recorder 2 when the set-up found two.
class RecorderPair {
public:
    RecorderPair(Transport& link, RecorderFacts& facts);

    Transport& link() { return link_; }
    RecorderFacts& facts() { return facts_; }
    const RecorderFacts& facts() const { return facts_; }

    // The one rule for which recorders are in use: the index of the last one (0 or 1).
    int lastInUse() const;
    bool twoInUse() const { return lastInUse() == 1; }
    // A recorder number other than 1 means recorder 1 (index 0).
    static int indexOf(int recorder) { return recorder == 1 ? 1 : 0; }
    Recorder& operator[](int recorder)
    {
        return recorders_[static_cast<std::size_t>(indexOf(recorder))];
    }
    const Recorder& operator[](int recorder) const
    {
        return recorders_[static_cast<std::size_t>(indexOf(recorder))];
    }
    int modelClass(int recorder) const;

    // Whether a recorder in use met a lost connection since its link was last opened.
    bool anyLost() const;

    void setReplyTimeout(int n) { link_.setReplyTimeout(n); }
    void waitSeconds(int n) { link_.waitSeconds(n); }

private:
    Transport& link_;
    RecorderFacts& facts_;
    std::array<Recorder, 2> recorders_;
};

} // namespace hs
