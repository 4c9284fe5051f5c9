#include "app/form1.h"

#include "app/platform.h"
#include "app/settings_keys.h"
#include "app/window_keys.h"
#include "port/mscomm.h"
#include "quicksend/csv.h"
#include "quicksend/frame.h"
#include "quicksend/quick_send_window.h"
#include "quicksend/sequence.h"
#include "send/quick_send_state.h"
#include "send/quick_send_store.h"
#include "settings/settings_file.h"
#include "ui_form1.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QShortcut>

namespace {

const QString title = QStringLiteral("快捷发送");
// Larger than any export a person keeps: a wrong file picked by mistake.
constexpr qint64 MaxImportBytes = 16 * 1024 * 1024;

} // namespace

// "快捷发送…" in the send and receive boxes' menus and Ctrl+Shift+M anywhere in the window: named
// entries and frames with their checksums, sent with a click or a hotkey.
void Form1::connectQuickSend()
{
    const auto offer = [this](QMenu *menu) {
        menu->addSeparator();
        menu->addAction(title + QStringLiteral("…"), this, &Form1::QuickSend_Click);
    };
    connect(ui->SendText, &MemoBox::contextMenuAboutToShow, this, offer);
    connect(ui->RevText, &ReceiveBox::contextMenuAboutToShow, this, offer);
    auto *shortcut = new QShortcut(QKeySequence(windowkeys::quickSend.key), this);
    connect(shortcut, &QShortcut::activated, this, &Form1::QuickSend_Click);
    connect(ui->ComPort, &ListBox::Click, this, &Form1::updateQuickSendWindow);
    connect(ui->RevHexSel, &QRadioButton::toggled, this, &Form1::updateQuickSendWindow);

    const quicksendstore::Book book = quicksendstore::loadBook(*m_settings);
    m_quick->pages = book.pages;
    m_quick->place = book.place;
    // A hand-edited file may give a key the program answers already, or one key twice: the
    // first entry keeps it.
    QStringList kept;
    for (quicksend::Page &page : m_quick->pages) {
        for (quicksend::Entry &entry : page.entries) {
            if (kept.contains(entry.hotkey) ||
                !quicksend::hotkeyRefusal(entry.hotkey, windowkeys::taken, {}, std::nullopt)
                     .isEmpty())
                entry.hotkey.clear();
            kept << entry.hotkey;
        }
    }
    applyQuickSendHotkeys();
}

void Form1::QuickSend_Click()
{
    if (!m_quickWindow) {
        m_quickWindow = new quicksend::QuickSendWindow(this);
        m_quickWindow->setAttribute(Qt::WA_DeleteOnClose);
        const QByteArray geometry = QByteArray::fromBase64(m_quick->place.toLatin1());
        if (geometry.isEmpty())
            m_quickWindow->move(frameGeometry().topRight() + QPoint(8, 0));
        else
            m_quickWindow->restoreGeometry(geometry);
        m_quickWindow->setTakenKeys(windowkeys::taken);
        m_quickWindow->setPages(m_quick->pages);
        m_quickWindow->setRules(m_quick->rules);
        m_quickWindow->setRepliesOn(m_quick->repliesOn);
        m_quickWindow->setConfirm([this](const QString &question) {
            return m_platform->question(m_quickWindow, question, title);
        });
        updateQuickSendWindow();
        using Window = quicksend::QuickSendWindow;
        connect(m_quickWindow, &Window::closed, this, &Form1::QuickSendWindow_Closed);
        connect(m_quickWindow, &Window::pagesEdited, this, &Form1::QuickSend_PagesEdited);
        connect(m_quickWindow, &Window::sendEntryRequested, this, &Form1::QuickSendEntry_Send);
        connect(m_quickWindow, &Window::sendFrameRequested, this, &Form1::QuickSendFrame_Send);
        connect(m_quickWindow, &Window::importRequested, this, &Form1::QuickSendImport_Click);
        connect(m_quickWindow, &Window::exportRequested, this, &Form1::QuickSendExport_Click);
        connect(m_quickWindow, &Window::rulesEdited, this, &Form1::AutoReply_RulesEdited);
        connect(m_quickWindow, &Window::repliesSwitched, this, &Form1::AutoReply_Switched);
        connect(m_quickWindow, &Window::sequenceRequested, this, &Form1::Sequence_Start);
        connect(m_quickWindow, &Window::stopRequested, this, [this] { m_sequence->stop(); });
        connect(m_quickWindow, &Window::refused, this,
                [this](const QString &why) { warning(why, title); });
        // The hotkeys answer in this window too.
        applyQuickSendHotkeys();
    }
    m_quickWindow->show();
    m_quickWindow->raise();
    m_quickWindow->activateWindow();
    m_quickWindow->setFocus();
}

// Closing stops a sequence under way (nothing would be left to stop it with); where the window
// stood is kept.
void Form1::QuickSendWindow_Closed()
{
    m_sequence->stop();
    m_quick->place = QString::fromLatin1(m_quickWindow->saveGeometry().toBase64());
    m_quickWindow = nullptr;
    storeQuickSend();
    applyQuickSendHotkeys();
}

// What the window shows follows the port, the text encoding, the send box's line ending and the
// display mode.
void Form1::updateQuickSendWindow()
{
    if (!m_quickWindow)
        return;
    m_quickWindow->setPortName(ui->ComPort->text());
    m_quickWindow->setSendContext(MSComm1->textEncoding() == MSComm::TextEncoding::Gb18030
                                      ? quicksend::TextEncoding::Gb18030
                                      : quicksend::TextEncoding::Utf8,
                                  m_lineEnding);
    m_quickWindow->setHexDisplay(ui->RevHexSel->isChecked());
}

void Form1::QuickSend_PagesEdited(const QList<quicksend::Page> &pages)
{
    m_quick->pages = pages;
    storeQuickSend();
    applyQuickSendHotkeys();
    applyAutoReplyRules();
}

void Form1::storeQuickSend()
{
    quicksendstore::storeBook(*m_settings, {m_quick->pages, m_quick->place});
}

// Each entry's hotkey, in this window and in the quick-send window.
void Form1::applyQuickSendHotkeys()
{
    qDeleteAll(m_quick->hotkeys);
    m_quick->hotkeys.clear();
    for (int p = 0; p < m_quick->pages.size(); ++p) {
        for (int e = 0; e < m_quick->pages.at(p).entries.size(); ++e) {
            const QKeySequence key(m_quick->pages.at(p).entries.at(e).hotkey);
            if (key.isEmpty())
                continue;
            for (QWidget *window :
                 {static_cast<QWidget *>(this), static_cast<QWidget *>(m_quickWindow)}) {
                if (!window)
                    continue;
                auto *shortcut = new QShortcut(key, window);
                connect(shortcut, &QShortcut::activated, this,
                        [this, p, e] { QuickSendEntry_Send(p, e); });
                m_quick->hotkeys << shortcut;
            }
        }
    }
}

void Form1::QuickSendEntry_Send(int page, int entry)
{
    if (page < 0 || page >= m_quick->pages.size() ||
        entry >= m_quick->pages.at(page).entries.size())
        return;
    (void)sendQuickEntry(m_quick->pages.at(page).entries.at(entry), false);
}

void Form1::QuickSendFrame_Send(const quicksend::Entry &frame)
{
    (void)sendQuickEntry(frame, false);
}

// Sends an entry through the one send function and counts it. quiet: nothing is shown; the
// port is looked at first, and why nothing went is returned. Otherwise the user is told.
QString Form1::sendQuickEntry(const quicksend::Entry &entry, bool quiet)
{
    if (quiet && !m_sendRefusal.isEmpty())
        return m_sendRefusal;
    if (quiet && !MSComm1->PortOpen())
        return QStringLiteral("串口未打开");
    QString failure;
    qsizetype count = 0;
    qsizetype bytes = 0;
    const bool sent = sendToLine([&]() -> std::optional<QVariant> {
        const quicksend::Frame frame =
            quicksend::buildFrame(entry,
                                  MSComm1->textEncoding() == MSComm::TextEncoding::Gb18030
                                      ? quicksend::TextEncoding::Gb18030
                                      : quicksend::TextEncoding::Utf8,
                                  m_lineEnding);
        if (!frame.ok()) {
            failure = QStringLiteral("“%1”未发送：%2").arg(entry.name, frame.error);
            if (!quiet)
                warning(failure, title);
            return std::nullopt;
        }
        if (frame.bytes.isEmpty())
            return std::nullopt;
        count = frame.count;
        bytes = frame.bytes.size();
        return frame.bytes;
    });
    if (sent) {
        ui->SendNum->add(double(count));
        if (!quiet && m_quickWindow)
            m_quickWindow->setStatus(
                QStringLiteral("已发送“%1”，%2 字节").arg(entry.name).arg(bytes));
    } else if (failure.isEmpty() && !MSComm1->PortOpen())
        failure = QStringLiteral("串口已关闭");
    return failure;
}

void Form1::QuickSendExport_Click()
{
    saveToAskedFile(QStringLiteral("导出快捷发送"), QStringLiteral("快捷发送-"),
                    QStringLiteral(".csv"),
                    [this] { return quicksend::exportCsv(m_quick->pages); });
}

// Adds what the file holds to the pages; bad rows are named and left out.
void Form1::QuickSendImport_Click()
{
    QString folder = settingkeys::captureFolder.read(*m_settings);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    const QString path = m_platform->openFileName(m_quickWindow, QStringLiteral("导入快捷发送"),
                                                  folder, QStringLiteral("CSV (*.csv);;全部 (*)"));
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxImportBytes) {
        warning(QStringLiteral("无法导入 %1：%2")
                    .arg(path, file.isOpen() ? QStringLiteral("文件太大") : file.errorString()),
                title);
        return;
    }
    quicksend::Import imported = quicksend::importCsv(file.readAll());
    QList<quicksend::Page> pages = m_quick->pages;
    int count = 0;
    // A hotkey that is taken goes; the entry stays.
    for (quicksend::Page &page : imported.pages) {
        for (quicksend::Entry &entry : page.entries) {
            ++count;
            const QString why =
                quicksend::hotkeyRefusal(entry.hotkey, windowkeys::taken, pages, std::nullopt);
            if (!why.isEmpty()) {
                imported.problems << QStringLiteral("“%1”未带热键：%2").arg(entry.name, why);
                entry.hotkey.clear();
            }
            quicksend::addPages(pages, {quicksend::Page{page.name, {}}});
            for (quicksend::Page &mine : pages) {
                if (mine.name == page.name)
                    mine.entries << entry;
            }
        }
    }
    if (m_quickWindow)
        m_quickWindow->setPages(pages);
    QuickSend_PagesEdited(pages);
    if (!imported.problems.isEmpty())
        warning(QStringLiteral("已导入 %1 个条目。\n%2")
                    .arg(count)
                    .arg(imported.problems.join(QLatin1Char('\n'))),
                title);
}
