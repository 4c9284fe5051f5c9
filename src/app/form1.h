#pragma once

#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <utility>

class CaptureLog;
class LineBox;
class MSComm;
class QAction;
class Platform;
class PlotWindow;
class PortWatch;
class QTimer;
struct ReconnectState;
class SendHistory;
class SettingsFile;

namespace settingkeys {
struct Setting;
}

namespace Ui {
class Form1;
}

// The one window. Its controls hold all of the program's state; each handler is named after its
// control and event and is defined in the folder of its subsystem.
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

private:
    // app/
    void Form_Load();
    void TabStrip_Click();
    void LabelExpand_Click();
    void ReadMe_Click();
    void Website_Click();
    void Product_Click();
    void setOuterWidth(int twips);
    void connectAppControls();

    // serial/
    void CheckBit_Change();
    void DataBits_Change();
    void StopBit_Change();
    void Timer1_Timer();
    void BuadRate_Click();
    void ComPort_Click();
    void ComPort_PopupAboutToShow();
    void OpenCom_Click();
    void FindCom_Click();
    void MSComm1_OnComm();
    void MSComm1_DeviceLost();
    void RevChrSel_Click();
    void RevHexSel_Click();
    void RevText_Change();
    void RevText_FontSizeChanged(int points);
    void ClearRevText_Click();
    void ClearCounter_Click();
    void connectCaptureMenu();
    [[nodiscard]] QString askCaptureFile(const QString &title, const QString &prefix,
                                         const QString &suffix);
    void saveToAskedFile(const QString &title, const QString &prefix, const QString &suffix,
                         const std::function<QByteArray()> &content);
    void SaveRevText_Click();
    void RecordRevText_Click();
    void MSComm1_BytesTaken(const QByteArray &bytes);
    void connectEncodingMenu();
    void TextEncoding_Click(QAction *choice);
    void connectReceiveBox();
    void RevText_TimestampsShown(bool shown);
    void applyKeptLimit();
    void updateRevTextToolTip();
    void SaveRevTextStamped_Click();
    void applyTextEncoding(const QString &name);
    void showPortClosed();
    void showPortOpen();
    [[nodiscard]] QString openFailure(int error) const;
    [[nodiscard]] QString refusedSettingText() const;
    [[nodiscard]] QString networkProblem() const;
    void connectReconnect();
    void AutoReconnect_Click();
    void rememberDevice();
    void startWaiting();
    void stopWaiting();
    void showWaiting(const QString &reason);
    void PortWatch_Look(bool foldersChanged);
    void reopen(const QString &device);
    void reopened();
    void reconnectNetwork();
    void MSComm1_OpenFinished(int error);
    void connectPlot();
    void Plot_Click();
    void plotReceived(QStringView text, qint64 msecs);
    void plotDisplayMode();
    void storePlotSettings();
    void PlotWindow_Closed();
    void PlotExportCsv_Click();
    void PlotExportImage_Click();
    void connectControlLines();
    void ControlLine_Click(bool dtr);
    void ResetBoard_Click();
    void applyControlLines(bool tell);
    [[nodiscard]] bool setControlLines(bool dtr, bool rts, bool tell);
    QString portDevice(int commPort) const;
    void connectSerialControls();

    // send/
    // Who sends: a panel or the program, or the send box itself (by hand or periodically),
    // whose text gets the line ending.
    enum class SendFrom { Program, SendBox, Periodic };
    void ManSend_Click(SendFrom from = SendFrom::Program);
    void ClearSendText_Click();
    void SendText_Change();
    void AutoSend_Click();
    void AutoSendTimer_Timer();
    void connectSendControls();
    void connectLineEndingMenu();
    void LineEnding_Click(QAction *choice);
    void applyLineEnding(const QString &name);
    void connectSendHistory();
    void loadSendHistory();
    void storeSendHistory();
    void recordSent(const QString &text);
    void SendText_HistoryStep(bool older);
    void SendHistory_Click(const QString &text);
    void RecordHistory_Click();
    void ClearHistory_Click();

    // panels/
    [[nodiscard]] std::array<std::pair<LineBox *, const settingkeys::Setting *>, 6>
    carCodes() const;
    void carAction(const QString &code);
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
    void connectCarControls();
    void UpdataTime_Click();
    void connectTimeSync();
    void bluetoothCommand(const QStringList &explanation, const QString &command);
    void connectBluetoothControls();

    void message(const QString &text, const QString &title);
    void warning(const QString &text, const QString &title);

    Ui::Form1 *ui;
    std::unique_ptr<Platform> m_platform;
    std::unique_ptr<SettingsFile> m_settings;
    std::unique_ptr<CaptureLog> m_capture;
    MSComm *MSComm1;
    QTimer *Timer1;
    QTimer *AutoSendTimer;
    bool m_keyPreview = false;
    // What follows each text sent from the send box.
    QString m_lineEnding;
    std::unique_ptr<SendHistory> m_history;
    bool m_recordHistory = true;
    bool m_steppingHistory = false;
    // The window's own title, to which a wait for a lost port adds what it waits for.
    QString m_title;
    bool m_autoReconnect = true;
    bool m_reconnectPicking = false;
    std::unique_ptr<ReconnectState> m_reconnect;
    PortWatch *m_portWatch;
    QTimer *m_retryTimer;
    PlotWindow *m_plot = nullptr;
    bool m_dtr = true;
    bool m_rts = true;
};
