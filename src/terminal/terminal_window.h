#pragma once

#include "terminal/session.h"

#include <QWidget>

class QAction;
class QLabel;
class QMenu;
class TerminalView;

// The terminal's own window: a terminal screen on the open port. It takes the port's name, its
// state, the font, the encoding and the options as values, is handed the bytes the board sends,
// and asks for what the user typed to be sent, for a Break and for its options to be kept.
class TerminalWindow : public QWidget
{
    Q_OBJECT
public:
    // The pause between the lines of a paste the context menu offers.
    static constexpr int PasteIntervalChoicesMs[] = {0, 10, 50, 100, 200};

    explicit TerminalWindow(QWidget *parent = nullptr);

    [[nodiscard]] TerminalView *view() const { return m_view; }
    [[nodiscard]] term::Session &session() { return m_session; }

    // "COM5": the title reads "终端 — COM5".
    void setPortName(const QString &name);
    void setTerminalFont(const QFont &font);
    void setEncoding(term::Encoding encoding);
    void setOptions(const term::Options &options);
    [[nodiscard]] const term::Options &options() const { return m_session.options(); }

    // A closed port says so; typing sends nothing, and what arrives once it opens shows.
    void setPortOpen(bool open);
    // While a file transfer owns the port, its bytes are not the terminal's and typing is
    // refused.
    void setTransferring(bool transferring);
    // "发送 Break" is greyed, with toolTip saying why, where the port cannot send one.
    void setBreakAvailable(bool available, const QString &toolTip);

    // Bytes as they came off the line.
    void receive(QByteArrayView bytes);

signals:
    // What the user typed or pasted, and the terminal's own answers, encoded: for the port.
    void sendRequested(const QByteArray &bytes);
    void breakRequested();
    // An option was changed from the context menu.
    void optionsChanged();
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void addMenuEntries(QMenu *menu);
    void changeOptions(const term::Options &options);
    void updateState();

    term::Session m_session;
    TerminalView *m_view;
    QLabel *m_state;
    QAction *m_break;
    bool m_open = false;
    bool m_transferring = false;
};
