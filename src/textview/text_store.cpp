#include "textview/text_store.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <sys/mman.h>

namespace {

// A chunk this small turns UTF-16 when it meets a wide character instead of being split.
constexpr qsizetype SmallChunk = 4096;

// Qt's own check reads sixteen characters at a time.
bool isLatin1(QStringView text)
{
    return QtPrivate::isLatin1(text);
}

void appendLatin1(QByteArray &bytes, QStringView text)
{
    const qsizetype old = bytes.size();
    bytes.resize(old + text.size());
    char *out = bytes.data() + old;
    const char16_t *in = text.utf16();
    for (qsizetype i = 0; i < text.size(); ++i)
        out[i] = char(in[i]);
}

// Makes the pages of a new chunk's room present in one call. Filling 64 KB of fresh memory
// otherwise takes a page fault every 4 KB, which on bulk text cost more than the copying.
void populate(void *room, qsizetype bytes)
{
#ifdef MADV_POPULATE_WRITE
    const std::uintptr_t page = 4096;
    const auto from = (reinterpret_cast<std::uintptr_t>(room) + page - 1) & ~(page - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(room) + std::uintptr_t(bytes)) & ~(page - 1);
    // Only a hint: an older kernel refuses it and the pages fault in as before.
    if (to > from)
        ::madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);
#else
    Q_UNUSED(room);
    Q_UNUSED(bytes);
#endif
}

QByteArray toLatin1Bytes(QStringView text)
{
    QByteArray bytes;
    appendLatin1(bytes, text);
    return bytes;
}

void widen(QString &out, const QByteArray &bytes)
{
    const qsizetype old = out.size();
    out.resize(old + bytes.size());
    char16_t *dst = reinterpret_cast<char16_t *>(out.data()) + old;
    const auto *src = reinterpret_cast<const uchar *>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size(); ++i)
        dst[i] = src[i];
}

} // namespace

QString TextStore::mid(qint64 pos, qint64 length) const
{
    pos = qBound<qint64>(0, pos, m_size);
    length = qBound<qint64>(0, length, m_size - pos);
    QString out(qsizetype(length), Qt::Uninitialized);
    char16_t *dst = reinterpret_cast<char16_t *>(out.data());
    forEachRun(pos, pos + length, [&dst](const auto *p, qsizetype n) {
        for (qsizetype i = 0; i < n; ++i)
            dst[i] = p[i];
        dst += n;
        return true;
    });
    return out;
}

char16_t TextStore::at(qint64 pos) const
{
    if (pos < 0 || pos >= m_size)
        return 0;
    const size_t c = chunkIndex(pos);
    const Chunk &chunk = m_chunks[c];
    const qsizetype offset = qsizetype(pos - m_starts[c]);
    return chunk.wide ? chunk.utf16.at(offset).unicode() : uchar(chunk.latin1.at(offset));
}

void TextStore::clear()
{
    m_chunks = {};
    m_starts = {};
    m_size = 0;
    m_wide = 0;
}

void TextStore::append(QStringView text)
{
    while (!text.isEmpty()) {
        if (m_chunks.empty() || m_chunks.back().size() >= ChunkSize) {
            m_starts.push_back(m_size);
            m_chunks.emplace_back();
            QByteArray &room = m_chunks.back().latin1;
            room.reserve(ChunkSize);
            populate(room.data(), ChunkSize);
        }
        Chunk &last = m_chunks.back();
        const QStringView part = text.first(qMin(text.size(), ChunkSize - last.size()));
        if (!last.wide && !isLatin1(part)) {
            if (last.size() >= SmallChunk) {
                m_starts.push_back(m_size);
                m_chunks.emplace_back();
                continue;
            }
            last.utf16.reserve(ChunkSize);
            widen(last.utf16, last.latin1);
            m_wide += last.latin1.size();
            last.latin1 = QByteArray();
            last.wide = true;
        }
        if (last.wide) {
            last.utf16.append(part);
            m_wide += part.size();
        } else {
            appendLatin1(last.latin1, part);
        }
        m_size += part.size();
        text = text.sliced(part.size());
    }
}

void TextStore::replace(qint64 pos, qint64 length, QStringView text)
{
    pos = qBound<qint64>(0, pos, m_size);
    length = qBound<qint64>(0, length, m_size - pos);
    if (length > 0)
        removeFrom(pos, length);
    if (text.isEmpty()) {
        recountWide();
        return;
    }
    if (pos == m_size) {
        recountWide();
        append(text);
        return;
    }
    size_t c = chunkIndex(pos);
    qsizetype offset = qsizetype(pos - m_starts[c]);
    // At a chunk boundary the chunk before may take the text without a split.
    if (offset == 0 && c > 0 && (m_chunks[c - 1].wide || isLatin1(text))) {
        --c;
        offset = m_chunks[c].size();
    }
    insertInto(c, offset, text);
    recountWide();
}

// After an edit, which may widen, split or remove chunks anywhere: edits are rare, appends are
// counted as they go.
void TextStore::recountWide()
{
    m_wide = 0;
    for (const Chunk &chunk : m_chunks)
        m_wide += chunk.wide ? chunk.size() : 0;
}

size_t TextStore::chunkIndex(qint64 pos) const
{
    const auto it = std::upper_bound(m_starts.begin(), m_starts.end(), pos);
    return it == m_starts.begin() ? 0 : size_t(it - m_starts.begin() - 1);
}

void TextStore::insertInto(size_t c, qsizetype offset, QStringView text)
{
    Chunk &chunk = m_chunks[c];
    if (!chunk.wide && !isLatin1(text)) {
        if (chunk.size() < SmallChunk) {
            QString wide;
            widen(wide, chunk.latin1);
            chunk.utf16 = wide;
            chunk.latin1 = QByteArray();
            chunk.wide = true;
        } else {
            // Split the large one-byte chunk around a new UTF-16 chunk.
            Chunk tail;
            tail.latin1 = chunk.latin1.sliced(offset);
            chunk.latin1.truncate(offset);
            Chunk middle;
            middle.wide = true;
            middle.utf16 = text.toString();
            size_t at = c + 1;
            if (offset == 0) {
                chunk = std::move(middle);
                at = c;
            } else {
                m_chunks.insert(m_chunks.begin() + qsizetype(at), std::move(middle));
                m_starts.insert(m_starts.begin() + qsizetype(at), 0);
            }
            if (!tail.latin1.isEmpty()) {
                m_chunks.insert(m_chunks.begin() + qsizetype(at + 1), std::move(tail));
                m_starts.insert(m_starts.begin() + qsizetype(at + 1), 0);
            }
            renumber(c);
            splitLarge(at);
            return;
        }
    }
    if (chunk.wide)
        chunk.utf16.insert(offset, text);
    else
        chunk.latin1.insert(offset, toLatin1Bytes(text));
    renumber(c);
    splitLarge(c);
}

void TextStore::removeFrom(qint64 pos, qint64 length)
{
    size_t c = chunkIndex(pos);
    const size_t first = c;
    while (length > 0 && c < m_chunks.size()) {
        Chunk &chunk = m_chunks[c];
        const qsizetype offset = qsizetype(pos - m_starts[c]);
        const qsizetype n = qsizetype(qMin<qint64>(chunk.size() - offset, length));
        if (chunk.wide)
            chunk.utf16.remove(offset, n);
        else
            chunk.latin1.remove(offset, n);
        length -= n;
        pos += n;
        ++c;
    }
    size_t keep = first;
    for (size_t i = first; i < m_chunks.size(); ++i) {
        if (m_chunks[i].size() == 0 && i < c)
            continue;
        if (keep != i)
            m_chunks[keep] = std::move(m_chunks[i]);
        ++keep;
    }
    m_chunks.resize(keep);
    m_starts.resize(keep);
    renumber(first);
}

void TextStore::splitLarge(size_t c)
{
    if (m_chunks[c].size() <= 2 * ChunkSize)
        return;
    Chunk big = std::move(m_chunks[c]);
    std::vector<Chunk> pieces;
    for (qsizetype from = 0; from < big.size(); from += ChunkSize) {
        Chunk piece;
        piece.wide = big.wide;
        const qsizetype n = qMin(ChunkSize, big.size() - from);
        if (big.wide)
            piece.utf16 = big.utf16.sliced(from, n);
        else
            piece.latin1 = big.latin1.sliced(from, n);
        pieces.push_back(std::move(piece));
    }
    m_chunks[c] = std::move(pieces.front());
    m_chunks.insert(m_chunks.begin() + qsizetype(c + 1),
                    std::make_move_iterator(pieces.begin() + 1),
                    std::make_move_iterator(pieces.end()));
    m_starts.insert(m_starts.begin() + qsizetype(c + 1), pieces.size() - 1, 0);
    renumber(c);
}

void TextStore::renumber(size_t from)
{
    from = qMin(from, m_chunks.size());
    qint64 pos = from == 0 ? 0 : m_starts[from - 1] + m_chunks[from - 1].size();
    for (size_t i = from; i < m_chunks.size(); ++i) {
        m_starts[i] = pos;
        pos += m_chunks[i].size();
    }
    m_size = pos;
}

qint64 TextStore::indexOf(const QString &needle, qint64 from, bool forward,
                          Qt::CaseSensitivity cs) const
{
    constexpr qint64 Slice = 1 << 20;
    const qint64 overlap = needle.size() - 1;
    if (needle.isEmpty() || from < 0 || from >= m_size)
        return -1;
    if (forward) {
        for (qint64 begin = from; begin < m_size; begin += Slice) {
            const QString slice = mid(begin, Slice + overlap);
            const qsizetype at = slice.indexOf(needle, 0, cs);
            if (at >= 0)
                return begin + at;
        }
        return -1;
    }
    // Backward: slices ending at from plus what a match starting at from still needs.
    for (qint64 end = from + 1; end > 0; end -= Slice) {
        const qint64 begin = qMax<qint64>(0, end - Slice);
        const QString slice = mid(begin, end - begin + overlap);
        const qsizetype at = slice.lastIndexOf(needle, end - begin - 1, cs);
        if (at >= 0)
            return begin + at;
    }
    return -1;
}

bool TextStore::equals(QStringView text) const
{
    if (text.size() != m_size)
        return false;
    const char16_t *other = text.utf16();
    bool same = true;
    forEachRun(0, m_size, [&](const auto *p, qsizetype n) {
        for (qsizetype i = 0; i < n; ++i) {
            if (p[i] != other[i]) {
                same = false;
                return false;
            }
        }
        other += n;
        return true;
    });
    return same;
}
