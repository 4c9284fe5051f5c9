#pragma once

#include "transfer/block_frame.h"
#include "transfer/block_sender.h"
#include "transfer/engine.h"

namespace transfer {

class FileSink;

// Receives with XMODEM (128- and 1024-byte blocks alike; asks for CRC with 'C' a few times, then
// for the sum with NAK) or YMODEM (a batch, CRC, each file named and sized by its block 0).
class BlockReceiver : public Engine
{
public:
    struct Options
    {
        BlockProtocol protocol = BlockProtocol::Ymodem; // XMODEM-1K receives as XMODEM
        // XMODEM carries no length: its last block arrives padded with 1A. Strip the run of 1A
        // that ends the file.
        bool stripPadding = false;
        Timing timing;
    };
    // 'C' is sent this many times before an XMODEM receiver falls back to NAK.
    static constexpr int CrcPolls = 3;

    BlockReceiver(const Options &options, FileSink *sink);

    void start(qint64 now) override;
    void receive(QByteArrayView bytes, qint64 now) override;
    void tick(qint64 now) override;
    void stop(const QString &message, bool tellPeer) override;

private:
    enum class State { Between, Body, Purge };

    void take(char c, qint64 now);
    void blockComplete(qint64 now);
    void nakOrPoll(qint64 now, bool damagedBlock);
    void accept(quint8 number, QByteArrayView data, qint64 now);
    void header(QByteArrayView data, qint64 now);
    void endOfFile(qint64 now);
    [[nodiscard]] bool write(QByteArrayView data);
    [[nodiscard]] bool salvage(QByteArrayView bytes, qint64 now);
    [[nodiscard]] bool ymodem() const { return m_options.protocol == BlockProtocol::Ymodem; }
    void failHere(const QString &message, bool tellSender);

    Options m_options;
    FileSink *m_sink;
    State m_state = State::Between;
    Check m_check = Check::Crc;
    bool m_checkKnown = false; // a block was accepted: the sender's check is settled
    bool m_wantHeader = false; // YMODEM: block 0 comes next
    bool m_fileOpen = false;
    bool m_dataStarted = false; // a block of this file arrived: silence now earns a NAK
    quint8 m_expected = 1;
    int m_blockCount = 0; // accepted data blocks of this file
    qsizetype m_blockSize = 0;
    QByteArray m_body;
    qint64 m_purgeEnd = 0; // a purge never outlasts this
    int m_polls = 0;
    int m_errors = 0; // since the last accepted block
    int m_eots = 0;
    int m_cans = 0;
    qint64 m_written = 0;
    qint64 m_size = -1;
    QByteArray m_held; // XMODEM: the last block, held back until it is known not to be padding
    QString m_name;
};

} // namespace transfer
