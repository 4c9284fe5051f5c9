#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <optional>

// ZMODEM is run by lrzsz; what the program itself needs of it: to notice a board that starts a
// ZMODEM transfer on its own, and to read lrzsz's reports.
namespace transfer {

// Watches received bytes for the first header of a ZMODEM transfer a board starts: ZRQINIT
// ("**", ZDLE, "B00") when it sends a file (lrzsz's sz, after "rz\r"), ZRINIT ("B01") when it
// waits for one (rz). The header may be split between reads in any way.
class ZmodemStart
{
public:
    enum class Seen { Nothing, BoardSends, BoardReceives };

    // The first header that completes within bytes; then the watch starts afresh.
    [[nodiscard]] Seen feed(QByteArrayView bytes);
    void reset() { m_matched = 0; }

private:
    int m_matched = 0; // of "**\x18B0", the part both headers share
};

// Reads lrzsz's standard error as it comes: progress ("Bytes Sent: 1024/ 5000",
// "Bytes received: ..."), the file under way ("Sending: x", "Receiving: x") and other lines.
class LrzszReport
{
public:
    struct Update
    {
        std::optional<std::pair<qint64, qint64>> bytes; // done, total (-1 when not given)
        QStringList files;                              // that began
        QStringList lines;                              // anything else worth showing
    };

    [[nodiscard]] Update feed(QByteArrayView text);
    // What lrzsz said last, for a failure's message.
    [[nodiscard]] const QString &lastLine() const { return m_lastLine; }

private:
    void line(QByteArrayView text, Update &update);

    QByteArray m_partial;
    QString m_lastLine;
};

} // namespace transfer
