#pragma once

#include "quicksend/entries.h"
#include "quicksend/payload.h"

namespace quicksend {

// What an entry puts on the line, and how the sent counter counts it; or why it cannot go.
using Frame = Payload;

// The payload, its line ending (text entries: the entry's own, or defaultEnding for "默认")
// and its checksum.
[[nodiscard]] Frame buildFrame(const Entry &entry, TextEncoding encoding,
                               const QString &defaultEnding);

// Puts the checksum into frame. LRC written as hexadecimal text over a range of digit pairs
// (Modbus ASCII) is taken over the bytes the pairs stand for.
[[nodiscard]] Frame insertChecksum(Frame frame, const Checksum &checksum);

} // namespace quicksend
