#pragma once

#include "quicksend/auto_reply.h"
#include "quicksend/entries.h"
#include "quicksend/hotkeys.h"
#include "quicksend/payload.h"

#include <QList>
#include <QWidget>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabBar;
class QTabWidget;
class QTableWidget;

namespace quicksend {

class EntryEditor;
class ReplyTable;

// The quick-send window: a frame line for one-off frames, entries on named pages, sending the
// ticked ones in order, and the auto-reply rules. It takes values and says what the user asked
// for; sending, storing and files are its owner's business.
class QuickSendWindow : public QWidget
{
    Q_OBJECT
public:
    enum Column { Tick, Name, Content, Checksum, Hotkey, Delay, Bytes, Send, ColumnCount };
    // Answers whether a page with entries may go; the default asks with a message box.
    using Confirm = std::function<bool(const QString &question)>;

    explicit QuickSendWindow(QWidget *parent = nullptr);

    void setPages(const QList<Page> &pages);
    [[nodiscard]] const QList<Page> &pages() const { return m_pages; }
    [[nodiscard]] int currentPage() const;
    void setRules(const QList<Rule> &rules);
    void setRepliesOn(bool on);
    // What text is encoded with and what "默认" ends it with, for the bytes shown.
    void setSendContext(TextEncoding encoding, const QString &defaultEnding);
    void setTakenKeys(const QList<TakenKey> &keys) { m_takenKeys = keys; }
    void setHexDisplay(bool hex);
    void setPortName(const QString &port);
    void setSequenceRunning(bool running);
    void setStatus(const QString &text);
    void setConfirm(Confirm confirm) { m_confirm = std::move(confirm); }

    [[nodiscard]] QTableWidget *entryTable() const { return m_table; }
    [[nodiscard]] EntryEditor *editor() const { return m_editor; }
    [[nodiscard]] ReplyTable *replyTable() const { return m_replies; }

signals:
    void pagesEdited(const QList<Page> &pages);
    void rulesEdited(const QList<Rule> &rules);
    void repliesSwitched(bool on);
    void sendEntryRequested(int page, int entry);
    void sendFrameRequested(const Entry &frame);
    // rounds 0: until stopped.
    void sequenceRequested(int page, int rounds);
    void stopRequested();
    void importRequested();
    void exportRequested();
    // Something the user asked for cannot be done, and why.
    void refused(const QString &why);
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    [[nodiscard]] QWidget *buildFrameLine();
    [[nodiscard]] QWidget *buildEntries();
    [[nodiscard]] Entry frameEntry() const;
    void updateFramePreview();
    void sendFrame();
    void saveFrame();
    void showPages();
    void showEntries();
    void showRow(int row);
    void pickEntry();
    void entryEdited();
    void addEntry(const Entry &entry);
    void removeEntry();
    void moveEntry(int step);
    void addPage();
    void removePage();
    void renamePage(const QString &name);
    void retarget(const QString &oldPage, const QString &oldEntry, const QString &page,
                  const QString &entry);
    void pageMoved(int from, int to);
    void startSequence();
    void edited();
    [[nodiscard]] QString frameText(const Entry &entry) const;

    QList<Page> m_pages;
    QList<Rule> m_rules;
    QList<TakenKey> m_takenKeys;
    TextEncoding m_encoding = TextEncoding::Utf8;
    QString m_defaultEnding;
    Confirm m_confirm;
    bool m_filling = false;

    QLineEdit *m_frame;
    QComboBox *m_frameChecksum;
    QComboBox *m_frameFormat;
    QLabel *m_framePreview;
    QTabWidget *m_tabs;
    QTabBar *m_pageBar;
    QLineEdit *m_pageName;
    QTableWidget *m_table;
    EntryEditor *m_editor;
    QComboBox *m_repeat;
    QSpinBox *m_rounds;
    QPushButton *m_run;
    QPushButton *m_stop;
    ReplyTable *m_replies;
    QLabel *m_status;
};

} // namespace quicksend
