#pragma once

#include "terminal/terminal_view.h"
#include "terminal/terminal_window.h"

#include <QObject>
#include <QTest>

#include <memory>

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
    void screenMatchesPyte_data();
    void screenMatchesPyte();
    void alternateScreen();
    void scrollbackBounded_data();
    void scrollbackBounded();
    void badInput_data();
    void badInput();
    void shrinkingTheWindow_data();
    void shrinkingTheWindow();

    // Drawing (tst_terminal_window_drawing.cpp)
    void cellImagesDrawAsText_data();
    void cellImagesDrawAsText();
};
