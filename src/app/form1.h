#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class CaptureLog;
class LineBox;
struct LendingState;
class MSComm;
class OpenWatch;
class QAction;
class QPushButton;
class Platform;
class PlotWindow;
class FilterWindow;
class HighlightEditor;
class TerminalWindow;
struct HighlightRules;
class PortWatch;
class QTimer;
struct ReconnectState;
class SendHistory;
class SettingsFile;

namespace settingkeys {
struct Setting;
}

namespace quicksend {
struct Entry;
struct Page;
struct Rule;
class QuickSendWindow;
class SequenceRunner;
} // namespace quicksend
struct QuickSendState;

namespace transfer {
struct Request;
struct WindowSettings;
class TransferSession;
class TransferWindow;
class ZmodemStart;
} // namespace transfer

namespace portrequest {
struct Answer;
struct Request;
} // namespace portrequest

namespace Ui {
class Form1;
}

// The one window. Its controls hold all of the program's state; each handler is named after its
// control and event, and is defined, and connected by a connectX() of its file, in the folder of
// its subsystem. The declarations below are grouped by that file.
class Form1 : public QWidget
{
    Q_OBJECT
public:
    // On the real machine.
    Form1();
    // On the machine platform describes; nullptr means the real one.
    explicit Form1(std::unique_ptr<Platform> platform, QWidget *parent = nullptr);
    ~Form1() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // app/form1.cpp
    QString portDevice(int commPort) const;
    void message(const QString &text, const QString &title);
    void warning(const QString &text, const QString &title);
    void updateTitle();

    // app/help_links.cpp
    void connectHelpLinks();
    void ReadMe_Click();
    void Website_Click();
    void Product_Click();

    // app/startup.cpp
    void Form_Load();

    // app/tabs.cpp
    void connectTabs();
    void TabStrip_Click();
    void LabelExpand_Click();
    void setOuterWidth(int twips);

    // serial/capture.cpp
    void connectCaptureMenu();
    [[nodiscard]] QString askCaptureFile(const QString &title, const QString &prefix,
                                         const QString &suffix);
    void saveToAskedFile(const QString &title, const QString &prefix, const QString &suffix,
                         const std::function<QByteArray()> &content);
    void SaveRevText_Click();
    void RecordRevText_Click();
    void MSComm1_BytesTaken(const QByteArray &bytes);
    void SaveRevTextStamped_Click();

    // serial/control_lines.cpp
    void connectControlLines();
    void ControlLine_Click(bool dtr);
    void ResetBoard_Click();
    void applyControlLines(bool tell);
    [[nodiscard]] bool setControlLines(bool dtr, bool rts, bool tell);

    // serial/log_view.cpp
    void connectLogView();
    void loadLogView();
    void applyControlSequences(const QString &name);
    void ControlSequences_Click(QAction *choice);
    void HighlightRules_Click();
    void HighlightRules_Changed(const HighlightRules &rules);
    void Filter_Click();

    // serial/lending.cpp
    void connectLending();
    void LendPort_Click();
    void AutoYield_Click();
    [[nodiscard]] bool lendable() const;
    void lendingAfterOpen();
    void OpenWatch_Changed(int others);
    void OpenWatch_Gone();
    void YieldTimer_Timer();
    void lendPort();
    void loanOver();
    void reclaimPort();
    void endLoan();
    void nameBorrower();
    void markLending();
    [[nodiscard]] QString lendingTitle() const;
    [[nodiscard]] QString lendingToolTip() const;
    [[nodiscard]] portrequest::Answer PortRequest(const portrequest::Request &request);

    // serial/file_transfer.cpp
    void connectFileTransfer();
    void FileTransfer_Click();
    [[nodiscard]] transfer::WindowSettings transferSettings() const;
    void storeTransferSettings(const transfer::WindowSettings &settings);
    void updateFileTransfer();
    void FileTransfer_Start(const transfer::Request &request);
    void FileTransfer_Finished();
    [[nodiscard]] bool fileTransferReceived(const QByteArray &bytes);

    // serial/open_close.cpp
    void connectOpenClose();
    void OpenCom_Click();
    void MSComm1_DeviceLost();
    void showPortClosed();
    void showPortOpen();
    [[nodiscard]] QString openFailure(int error) const;
    [[nodiscard]] QString refusedSettingText() const;
    [[nodiscard]] QString networkProblem() const;

    // serial/plot.cpp
    void connectPlot();
    void Plot_Click();
    void plotReceived(QStringView text, qint64 msecs);
    void plotDisplayMode();
    void storePlotSettings();
    void PlotWindow_Closed();
    void PlotExportCsv_Click();
    void PlotExportImage_Click();

    // serial/port_list.cpp
    void connectPortList();
    void ComPort_PopupAboutToShow();

    // serial/port_scan.cpp
    void connectPortScan();
    void FindCom_Click();

    // serial/port_settings.cpp
    void connectPortSettings();
    void CheckBit_Change();
    void DataBits_Change();
    void StopBit_Change();
    void Timer1_Timer();
    void BuadRate_Click();
    void ComPort_Click();

    // serial/receive.cpp
    void connectReceiveBox();
    void MSComm1_OnComm();
    void RevChrSel_Click();
    void RevHexSel_Click();
    void applyInputMode();
    void RevText_Change();
    void RevText_FontSizeChanged(int points);
    void ClearRevText_Click();
    void ClearCounter_Click();
    void RevText_TimestampsShown(bool shown);
    void applyKeptLimit();
    void updateRevTextToolTip();

    // serial/reconnect.cpp
    void connectReconnect();
    void AutoReconnect_Click();
    void rememberDevice();
    void startWaiting();
    void stopWaiting();
    void showWaiting(const QString &reason);
    [[nodiscard]] QString reconnectTitle() const;
    void PortWatch_Look(bool foldersChanged);
    void reopen(const QString &device);
    void reopened();
    void reconnectNetwork();
    void MSComm1_OpenFinished(int error);
    void forgetQuickLosses();
    void noteLastWords(const QByteArray &bytes);
    [[nodiscard]] QString lastLine() const;
    [[nodiscard]] bool lostSoonAfterReopen() const;
    int nextBackOff();

    // serial/terminal.cpp
    void connectTerminal();
    void Terminal_Click();
    void updateTerminal();
    void terminalReceived(const QByteArray &bytes);
    void Terminal_Send(const QByteArray &bytes);
    void Terminal_Break();
    void storeTerminalOptions();
    void TerminalWindow_Closed();

    // serial/text_encoding.cpp
    void connectEncodingMenu();
    void TextEncoding_Click(QAction *choice);
    void applyTextEncoding(const QString &name);

    // send/auto_send.cpp
    void connectAutoSend();
    void AutoSend_Click();
    void AutoSendTimer_Timer();
    [[nodiscard]] bool periodicSendOn() const;

    // send/history.cpp
    void connectSendHistory();
    void loadSendHistory();
    void storeSendHistory();
    void recordSent(const QString &text);
    void SendText_HistoryStep(bool older);
    void SendHistory_Click(const QString &text);
    void RecordHistory_Click();
    void ClearHistory_Click();

    // send/quick_send.cpp
    void connectQuickSend();
    void QuickSend_Click();
    void QuickSendWindow_Closed();
    void QuickSend_PagesEdited(const QList<quicksend::Page> &pages);
    void QuickSendEntry_Send(int page, int entry);
    void QuickSendFrame_Send(const quicksend::Entry &frame);
    void QuickSendImport_Click();
    void QuickSendExport_Click();
    [[nodiscard]] QString sendQuickEntry(const quicksend::Entry &entry, bool quiet);
    void applyQuickSendHotkeys();
    void updateQuickSendWindow();
    void storeQuickSend();

    // send/quick_send_sequence.cpp
    void connectQuickSendSequence();
    void Sequence_Start(int page, int rounds);
    [[nodiscard]] QString sequenceStep(int index);
    void Sequence_StepStarted(int index, int round);
    void Sequence_Finished(const QString &why);
    void stopSequenceIfClosed(const QString &why);

    // send/auto_reply.cpp
    void connectAutoReply();
    void autoReplyReceived(const QVariant &block);
    void AutoReply_RulesEdited(const QList<quicksend::Rule> &rules);
    void AutoReply_Switched(bool on);
    void autoReplyFired(int rule);
    void applyAutoReplyRules();
    void storeAutoReplies();

    // send/line_ending.cpp
    void connectLineEndingMenu();
    void LineEnding_Click(QAction *choice);
    void applyLineEnding(const QString &name);

    // send/send.cpp
    // Who sends: a panel or the program, or the send box itself (by hand or periodically),
    // whose text gets the line ending.
    enum class SendFrom { Program, SendBox, Periodic };
    [[nodiscard]] bool sendToLine(const std::function<std::optional<QVariant>()> &compose);
    void ManSend_Click(SendFrom from = SendFrom::Program);
    void ClearSendText_Click();
    void SendText_Change();
    void connectSendControls();

    // panels/bluetooth_at.cpp
    void bluetoothCommand(const QStringList &explanation, const QString &command);
    void connectBluetoothControls();

    // panels/car.cpp
    struct CarButton
    {
        QPushButton *button;
        void (Form1::*handler)();
        LineBox *code;
        const settingkeys::Setting *setting;
        int key; // 0: none
    };
    [[nodiscard]] std::array<CarButton, 6> carButtons() const;
    void connectCarControls();
    void carAction(const QString &code);
    void carButtonAction(void (Form1::*handler)());
    void Forward_Click();
    void Backward_Click();
    void TurnLeft_Click();
    void Right_Click();
    void StopCar_Click();
    void ManAuto_Click();
    void add_Click();
    void dec_Click();
    void speedStep(int step);
    void Form_KeyDown(int keyCode);

    // panels/time_sync.cpp
    void UpdataTime_Click();
    void connectTimeSync();

    Ui::Form1 *ui;
    std::unique_ptr<Platform> m_platform;
    std::unique_ptr<SettingsFile> m_settings;
    std::unique_ptr<CaptureLog> m_capture;
    MSComm *MSComm1;
    QTimer *Timer1;
    QTimer *AutoSendTimer;
    bool m_keyPreview = false;
    // While not empty, every sender is refused with this text (the port is lent to a file
    // transfer): sendToLine is the one place that checks it.
    QString m_sendRefusal;
    // The window was closed: nothing more is shown, an open that was under way included.
    bool m_closed = false;
    // What follows each text sent from the send box.
    QString m_lineEnding;
    std::unique_ptr<SendHistory> m_history;
    bool m_recordHistory = true;
    bool m_steppingHistory = false;
    // The window's own title, to which the window's states add theirs (updateTitle()).
    QString m_title;
    bool m_autoReconnect = true;
    bool m_reconnectPicking = false;
    std::unique_ptr<ReconnectState> m_reconnect;
    PortWatch *m_portWatch;
    QTimer *m_retryTimer;
    PlotWindow *m_plot = nullptr;
    QPointer<HighlightEditor> m_highlightEditor;
    QPointer<FilterWindow> m_filter;
    QPointer<TerminalWindow> m_terminal;
    QPointer<transfer::TransferWindow> m_transferWindow;
    // The transfer under way, if any; it holds the port's received bytes while it owns them.
    transfer::TransferSession *m_transfer = nullptr;
    std::unique_ptr<transfer::ZmodemStart> m_zmodemStart;
    // The display's input mode, while a transfer reads the component as bytes.
    // The bytes of the block being read went to the transfer.
    bool m_transferTook = false;
    std::unique_ptr<QuickSendState> m_quick;
    quicksend::QuickSendWindow *m_quickWindow = nullptr;
    quicksend::SequenceRunner *m_sequence = nullptr;
    bool m_dtr = true;
    bool m_rts = true;
    std::unique_ptr<LendingState> m_lending;
    OpenWatch *m_openWatch;
    QTimer *m_yieldTimer;
    bool m_autoYield = false;
};
