#pragma once

#include "common/Result.h"

#include <QString>

#include <cstdint>
#include <span>

namespace hs {

class Clock;

// Why an exchange with a recorder failed.
enum class LinkErrorKind {
    Timeout,  // nothing (or not all of it) came within the reply time
    Closed,   // the connection is closed, was never opened, or takes no more data
    Refused,  // the recorder refused the connection
    Oversize, // a block larger than the block buffer
    Garbled,  // a reply that is not what was asked for
};

// The one error of the recorder link: which kind, the operator text, and the bytes that had
// arrived when it failed (told to the operator with a failed block).
struct LinkError {
    LinkErrorKind kind = LinkErrorKind::Timeout;
    QString text;
    int received = 0;
};

// The operator text of a kind.
QString linkErrorText(LinkErrorKind kind);
// A link error of that kind with its operator text.
LinkError linkError(LinkErrorKind kind, int received = 0);

// A lost connection (closed or refused) as opposed to one that answered badly or not in time.
inline bool isLinkLoss(LinkErrorKind kind)
{
    return kind == LinkErrorKind::Closed || kind == LinkErrorKind::Refused;
}

template <typename T> using LinkReply = Result<T, LinkError>;
using LinkStatus = Result<void, LinkError>;

// The byte link to the recorders (two at most, index 0 and 1): command lines out, reply lines and
// binary blocks in. Every wait runs the event loop through the Clock and blocks for the next
// event. The TCP implementation is LanModule.
class Transport {
public:
    virtual ~Transport() = default;

    virtual const Clock& clock() const = 0;

    // Connects recorder r and waits for the connection within one link-timer period.
    virtual LinkStatus open(int r, const QString& host, quint16 port) = 0;
    // Starts a new connection to the address of the last open (a link lost during a run); false
    // when r was never opened.
    virtual bool reopen(int r) = 0;
    // Whether connection r is established now.
    virtual bool isOpen(int r) const = 0;
    virtual void close(int r) = 0;

    // One command line (the send terminator appended). A write that fails or stays short is an
    // error.
    virtual LinkStatus send(int r, const QString& line) = 0;
    // Everything up to and including the receive terminator.
    virtual LinkReply<QString> receiveLine(int r) = 0;
    // A block of at least `bytes` bytes, at positions 1..n of the returned view (position 0
    // unused); the view lasts until the next block.
    virtual LinkReply<std::span<const std::uint8_t>> receiveBlock(int r, int bytes) = 0;

    // Forgets the count of bytes that arrived (they are read with the next arrival).
    virtual void clearReceived(int r) = 0;
    virtual void clearAllReceived() = 0;
    // Drops every byte connection r holds unread.
    virtual void discardReceived(int r) = 0;

    // Reply time n + 5 seconds.
    virtual void setReplyTimeout(int n) = 0;
    // Terminator codes (taken modulo 128) of replies and of command lines.
    virtual void setTerminators(int receiveCode, int sendCode) = 0;
    // A pause of n + 1 seconds on the link timer.
    virtual void waitSeconds(int n) = 0;
};

} // namespace hs
