#pragma once

#include "terminal/terminal_view.h"
#include "terminal/terminal_window.h"

#include <QObject>
#include <QPoint>
#include <QStringList>
#include <QTest>

#include <memory>

// Debian's, which has python3-pyte beside it, whatever python3 comes first on PATH.
inline const QString debianPython = QStringLiteral("/usr/bin/python3");
inline constexpr int programTimeoutMs = 30000;

// python3-pyte's screen for bytes (tst_terminal_window_pyte.cpp): the cursor (row, column), the
// rows, with styles each row's styles as pyte_screen.py spells them, and with history the lines
// that scrolled off the top, oldest first.
struct PyteScreen
{
    QPoint cursor;
    QStringList rows;
    QStringList styles;
    QStringList history;
};
[[nodiscard]] PyteScreen pyteScreen(const QByteArray &bytes, int rows, int columns,
                                    bool styles = false, bool history = false);

// The terminal window with the test as its port: what it asks to send is recorded, and what the
// board sends is handed to receive().
struct TerminalFixture
{
    TerminalFixture();
    [[nodiscard]] TerminalView *view() const { return window->view(); }
    [[nodiscard]] const term::ScreenModel &screen() const { return window->session().screen(); }
    [[nodiscard]] QString screenText() const;
    [[nodiscard]] bool shows(const QString &text) const { return screenText().contains(text); }
    // Takes what was sent so far.
    [[nodiscard]] QByteArray takeSent() { return std::exchange(sent, {}); }

    std::unique_ptr<TerminalWindow> window;
    QByteArray sent;
    int sends = 0;
};

class TestTerminalWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Keys (tst_terminal_window.cpp)
    void keysAgainstTerminfo_data();
    void keysAgainstTerminfo();
    void everyTerminfoKeyIsCovered();
    void controlsStaySevenBit_data();
    void controlsStaySevenBit();
    void controlBytes_data();
    void controlBytes();
    void backspaceAndEnter_data();
    void backspaceAndEnter();
    void tabShiftTabAndEscapeGoToTheBoard();
    void gbkTypedAndReceived();

    // Pastes, options and the window's states (tst_terminal_window_states.cpp)
    void pasting_data();
    void pasting();
    void pacedPasteStopsAtAKey();
    void microPythonPasteMode();
    void optionsFromTheMenu();
    void localEcho();
    void portClosedAndTransfer();
    void breakEntry();
    void drawsCellsColoursAndWideCharacters();
    void reverseScreen();
    void paintsOnceForManyWrites();
    void resizeSendsNothing();
    void scrollbackViewing();
    void selectionAndCopy();
    void accessibleText();

    // Real programs and what a board may send (tst_terminal_window_programs.cpp)
    void busyboxShell();
    void pythonRepl();
    void redrawMatchesPyte_data();
    void redrawMatchesPyte();
    void scrollbackBounded_data();
    void scrollbackBounded();
    void badInput_data();
    void badInput();
    void repeatAndC1Controls_data();
    void repeatAndC1Controls();
    void shrinkingTheWindow_data();
    void shrinkingTheWindow();

    // Sequences against python3-pyte (tst_terminal_window_pyte.cpp)
    void screenMatchesPyte_data();
    void screenMatchesPyte();
    void scrollbackMatchesPyte_data();
    void scrollbackMatchesPyte();
    void alternateScreen();

    // Drawing (tst_terminal_window_drawing.cpp)
    void cellImagesDrawAsText_data();
    void cellImagesDrawAsText();
    void framesShowEveryChange_data();
    void framesShowEveryChange();
};
