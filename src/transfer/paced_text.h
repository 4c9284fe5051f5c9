#pragma once

#include "transfer/engine.h"

namespace transfer {

class FileSource;

enum class LineEnding { AsIs, Cr, Lf, CrLf };

// Turns every line ending of a text (CR LF, CR or LF) into one, a piece at a time.
class LineEndingConverter
{
public:
    explicit LineEndingConverter(LineEnding to) : m_to(to) {}
    [[nodiscard]] QByteArray convert(QByteArrayView piece);
    // The end of the text: a last line without an ending gets one.
    [[nodiscard]] QByteArray finish();

private:
    [[nodiscard]] QByteArrayView ending() const;

    LineEnding m_to;
    bool m_pendingCr = false;
    bool m_midLine = false;
};

// Sends a text file as a person typing it would: a pause after each character and after each
// line, and, with a prompt, each line only once the board has printed it. What the board
// answers stays text for the screen.
class PacedText : public Engine
{
public:
    struct Options
    {
        int charDelayMs = 0;
        int lineDelayMs = 0;
        LineEnding ending = LineEnding::Cr;
        // Empty: no waiting. Trailing blanks and line breaks are not part of it.
        QByteArray prompt;
        int promptTimeoutMs = 10000;
        // Wait for the prompt before the first line too (a start command went first).
        bool promptFirst = false;
    };

    PacedText(const Options &options, FileSource *source);

    void start(qint64 now) override;
    void receive(QByteArrayView bytes, qint64 now) override;
    void tick(qint64 now) override;
    void stop(const QString &message, bool tellPeer) override;
    [[nodiscard]] bool ownsReceivedBytes() const override { return false; }
    [[nodiscard]] bool streams() const override;

    // Whether what the board printed since the last line ends with the prompt.
    [[nodiscard]] static bool endsWithPrompt(QByteArrayView seen, QByteArrayView prompt);

private:
    [[nodiscard]] bool fill(qsizetype want);
    [[nodiscard]] bool lineEndsAt(qsizetype i);
    void sent(qsizetype n, bool lineEnded, qint64 now);

    Options m_options;
    FileSource *m_source;
    LineEndingConverter m_converter;
    QByteArray m_buffer; // converted, not yet sent
    qint64 m_read = 0;   // of the file
    qint64 m_converted = 0;
    qint64 m_sent = 0;
    bool m_eof = false;
    bool m_waitingForPrompt = false;
    QByteArray m_seen;
    qint64 m_nextAllowed = 0; // the pauses' end, while waiting for the prompt
    int m_lines = 0;
};

} // namespace transfer
