// libFuzzer target for the path from received bytes to the terminal's screen: the session's
// decoding, the guard in front of libvterm, libvterm itself (not instrumented, but a crash in it
// is still found) and the screen model with its bounded scrollback. Input: a byte of settings
// (GB18030 or UTF-8, the screen's size), a byte choosing where the stream is cut in two with a
// resize between, then the bytes a board sends. Afterwards the model must be whole, a cursor key
// must encode, and after a line break the terminal must answer a cursor position report.

#include "terminal/session.h"

#include <QByteArray>
#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int LineLimit = 40;
constexpr int MaxColumns = 100; // the widest the screen is made below

// Says which check failed: the target has no debugger attached.
#define check(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz_terminal: failed %s\n", #condition);                        \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

void checkModel(const term::ScreenModel &screen)
{
    check(screen.scrollbackCount() + screen.rows() <= qMax(LineLimit, screen.rows()));
    check(screen.cursor().row >= 0 && screen.cursor().row < screen.rows());
    check(screen.cursor().column >= 0 && screen.cursor().column < screen.columns());
    for (int r = 0; r < screen.rows(); ++r) {
        const term::Line &line = screen.row(r);
        check(int(line.cells.size()) == screen.columns());
        for (size_t c = 0; c < line.cells.size(); ++c) {
            const term::Cell &cell = line.cells[c];
            check(cell.width <= 2 && (cell.width > 0 || cell.ch == term::Cell::Continuation));
            // A character is two wide exactly where the right half of one follows it.
            const bool halfFollows =
                c + 1 < line.cells.size() && line.cells[c + 1].ch == term::Cell::Continuation;
            check(cell.ch == term::Cell::Continuation || cell.width == (halfFollows ? 2 : 1));
        }
        // What the scrollback trims a line from.
        for (int c = qMax(0, line.written); c < int(line.cells.size()); ++c)
            check(line.cells[size_t(c)].isBlank() && !line.marks.contains(c));
        (void)line.text();
    }
    for (qsizetype i = 0; i < screen.scrollbackCount(); ++i)
        check(int(screen.scrollbackLine(i).cells.size()) <= MaxColumns);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    static int argc = 1;
    static char name[] = "fuzz_terminal";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);

    const uint8_t settings = data[0];
    const QByteArray stream(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    const qsizetype cut = stream.isEmpty() ? 0 : data[1] % (stream.size() + 1);

    term::Session session;
    term::Options options;
    options.scrollbackLines = LineLimit;
    session.setOptions(options);
    if (settings & 0x80)
        session.setEncoding(term::Encoding::Gb18030);
    // Down to one row and one column, where a wide character cannot fit.
    session.emulator().resize(1 + (settings & 0x07), 1 + ((settings >> 3) & 0x0f) * 5);
    session.receive(stream.left(cut));
    checkModel(session.screen());
    session.emulator().resize(1 + ((settings >> 2) & 0x07), 1 + (settings & 0x1f) * 3);
    session.receive(stream.mid(cut));
    checkModel(session.screen());

    QByteArray sent;
    QObject::connect(&session, &term::Session::send,
                     [&sent](const QByteArray &bytes) { sent += bytes; });
    check(session.pressKey(Qt::Key_Up, {}, QString()));
    check(sent == "\x1b[A" || sent == "\x1bOA");

    // Whatever the stream left open, after a line break the terminal takes a new sequence: it
    // answers a cursor position report.
    sent.clear();
    session.receive("\r\n\x1b[6n");
    checkModel(session.screen());
    check(sent.startsWith("\x1b[") && sent.endsWith('R') && sent.contains(';'));
    return 0;
}
