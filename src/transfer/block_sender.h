#pragma once

#include "transfer/block_frame.h"
#include "transfer/engine.h"

namespace transfer {

class FileSource;

enum class BlockProtocol { Xmodem, Xmodem1K, Ymodem };

// Sends files with XMODEM (one file, 128-byte blocks), XMODEM-1K (one file, 1024-byte blocks)
// or YMODEM (a batch: a header block 0 before each file, an empty one after the last). The
// receiver picks the check: 'C' asks for CRC, NAK for the arithmetic sum.
class BlockSender : public Engine
{
public:
    struct Options
    {
        BlockProtocol protocol = BlockProtocol::Ymodem;
        // Every data block 1024 bytes, the last padded: receivers such as ST's IAP count data
        // blocks as 1 KB each. Off, a tail under 897 bytes goes as 128-byte blocks.
        bool only1K = true;
        Timing timing;
    };

    BlockSender(const Options &options, FileSource *source);

    void start(qint64 now) override;
    void receive(QByteArrayView bytes, qint64 now) override;
    void tick(qint64 now) override;

private:
    enum class State { WaitStart, WaitAnswer, Settle, WaitRequest, Reply };
    enum class Unit { Header, Data, Eot, Closing };

    void begin(qint64 now);
    // Answers a request for the first block or the next header, or sends EOT, after a moment.
    void reply(qint64 now, bool starts);
    void request(qint64 now);
    void acknowledged(qint64 now);
    void advance(qint64 now);
    // answer: what the receiver said, empty when it said nothing in time.
    void resend(qint64 now, const QString &answer);
    void sendHeader(qint64 now);
    void sendData(qint64 now);
    void sendUnit(qint64 now, Unit unit, QByteArray bytes);
    void transmit(qint64 now);
    [[nodiscard]] qsizetype dataBlockSize(qint64 remaining) const;
    [[nodiscard]] QString unitName() const;
    [[nodiscard]] qint64 fileSize() const;
    // XMODEM's EOT, YMODEM's closing block.
    [[nodiscard]] bool lastUnit() const;

    Options m_options;
    FileSource *m_source;
    State m_state = State::WaitStart;
    Check m_check = Check::Crc;
    Unit m_unit = Unit::Header;
    QByteArray m_unitBytes;
    qint64 m_unitEnd = 0; // file offset after the block in flight
    int m_sends = 0;      // of the unit in flight
    int m_naks = 0;
    int m_file = 0;
    qint64 m_offset = 0; // acknowledged so far in the file
    int m_blockNumber = 0;
    int m_cans = 0;
    bool m_requestSeen = false; // a 'C' came while settling
    bool m_replyStarts = false; // the reply under way is the transfer's first block
    bool m_repeating = false;   // a header or EOT sent again after it was taken as answered
    bool m_heard = false;       // the receiver said anything since the unit first went out
    qint64 m_sentAt = 0;
    qint64 m_slowestAnswer = 0; // to a block that went out once
    qint64 m_doneBefore = 0;    // bytes of the files before this one
};

} // namespace transfer
