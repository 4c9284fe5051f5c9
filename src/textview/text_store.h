#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <vector>

// The characters of the receive box, held in large chunks. A chunk whose characters are all
// below 256 keeps one byte a character, so hexadecimal and ASCII streams cost about a byte a
// character; a chunk holding anything else keeps UTF-16. Appending costs what is appended,
// and an edit costs about one chunk.
class TextStore
{
public:
    static constexpr qsizetype ChunkSize = 1 << 16;

    [[nodiscard]] qint64 size() const { return m_size; }
    [[nodiscard]] QString text() const { return mid(0, m_size); }
    [[nodiscard]] QString mid(qint64 pos, qint64 length) const;
    [[nodiscard]] char16_t at(qint64 pos) const;
    // Where needle next occurs starting at from (forward) or at from or before (backward), or
    // -1. The text is searched in slices, so a long capture costs no copy of itself.
    [[nodiscard]] qint64 indexOf(const QString &needle, qint64 from, bool forward,
                                 Qt::CaseSensitivity cs) const;
    [[nodiscard]] bool equals(QStringView text) const;

    void clear();
    void append(QStringView text);
    void replace(qint64 pos, qint64 length, QStringView text);
    // Bytes the characters take: one for each in a one-byte chunk, two in a UTF-16 one.
    [[nodiscard]] qint64 memoryBytes() const { return m_size + m_wide; }

    // Calls f(p, n) for consecutive runs covering [from, to), where p is const uchar * (one
    // byte a character) or const char16_t *; f returns false to stop.
    template <typename F> void forEachRun(qint64 from, qint64 to, F &&f) const
    {
        if (from >= to)
            return;
        for (size_t c = chunkIndex(from); c < m_chunks.size() && from < to; ++c) {
            const Chunk &chunk = m_chunks[c];
            const qsizetype offset = qsizetype(from - m_starts[c]);
            const qsizetype n = qsizetype(qMin<qint64>(chunk.size() - offset, to - from));
            const bool more =
                chunk.wide
                    ? f(reinterpret_cast<const char16_t *>(chunk.utf16.constData()) + offset, n)
                    : f(reinterpret_cast<const uchar *>(chunk.latin1.constData()) + offset, n);
            if (!more)
                return;
            from += n;
        }
    }

private:
    struct Chunk
    {
        bool wide = false;
        QByteArray latin1;
        QString utf16;
        [[nodiscard]] qsizetype size() const { return wide ? utf16.size() : latin1.size(); }
    };

    [[nodiscard]] size_t chunkIndex(qint64 pos) const;
    void insertInto(size_t c, qsizetype offset, QStringView text);
    void removeFrom(qint64 pos, qint64 length);
    void splitLarge(size_t c);
    void renumber(size_t from);
    void recountWide();

    std::vector<Chunk> m_chunks;
    std::vector<qint64> m_starts;
    qint64 m_size = 0;
    // Characters held in UTF-16 chunks.
    qint64 m_wide = 0;
};
