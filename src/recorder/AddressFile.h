#pragma once

#include <QString>

#include <array>
#include <optional>

namespace hs {

// The recorders' addresses and ports as the connection screen keeps them between runs, in
// "IPDT.DAT" in the working folder: four texts, each a 16-bit little-endian byte count followed
// by that many bytes of text (system code page, no terminator), in the order
// address 1, address 2, port 1, port 2.
struct AddressTexts {
    std::array<QString, 2> addresses;
    std::array<QString, 2> ports;
};

inline constexpr char kAddressFileName[] = "IPDT.DAT";

// The longest text the file may hold for one entry; a longer count marks the file as damaged.
inline constexpr int kAddressTextMaxBytes = 255;

// Reads the four texts. nullopt when the file is missing or unreadable: too short for its
// counts, a count that is negative or above kAddressTextMaxBytes. Bytes after the fourth text are
// ignored. Never reads more than the four largest entries' worth of bytes. A path that names no
// regular file (a FIFO, a folder) is never opened for reading, so it cannot block the start:
// nullopt, with *notAFile set to true when given.
std::optional<AddressTexts> readAddressFile(const QString& path, bool* notAFile = nullptr);

// Writes the four texts (a fresh file, replaced as a whole). False when the file could not be
// written or a text is longer than kAddressTextMaxBytes bytes; the old file is then left as it was.
bool writeAddressFile(const QString& path, const AddressTexts& texts);

} // namespace hs
