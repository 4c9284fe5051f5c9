#pragma once

#include "transfer/disk_files.h"
#include "transfer/engine.h"
#include "transfer/rate_meter.h"
#include "transfer/transfer_options.h"

#include <QElapsedTimer>
#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace transfer {

class TransferSession;

// The file transfer window: what to send or where to receive, the protocol and its options,
// start and cancel, the progress and the protocol's log. It takes its settings as values and
// emits what the user asked for; it sends and receives nothing itself.
class TransferWindow : public QWidget
{
    Q_OBJECT
public:
    // Dialogs, replaceable so that tests answer them.
    using FileChooser =
        std::function<QStringList(QWidget *parent, bool several, const QString &folder)>;
    using FolderChooser = std::function<QString(QWidget *parent, const QString &folder)>;
    // Asks what to do with a received file whose name is taken; calls answer once.
    using ExistingQuestion = std::function<void(QWidget *parent, const QString &name,
                                                std::function<void(ExistingFile)> answer)>;

    explicit TransferWindow(QWidget *parent = nullptr);
    ~TransferWindow() override;

    void setFileChooser(FileChooser chooser) { m_chooseFiles = std::move(chooser); }
    void setFolderChooser(FolderChooser chooser) { m_chooseFolder = std::move(chooser); }
    void setExistingQuestion(ExistingQuestion question) { m_askExisting = std::move(question); }
    // Whether lrzsz is installed; the default looks on the PATH.
    void setLrzszPresent(std::function<bool()> present);

    // "文件传输 — COM5".
    void setPortName(const QString &port);
    void setSettings(const WindowSettings &settings);
    [[nodiscard]] WindowSettings settings() const;
    void setDirection(Direction direction);
    void setFiles(const QStringList &paths);
    // The board began a ZMODEM send on its own: offers to receive it.
    void offerIncomingZmodem();
    [[nodiscard]] bool running() const { return m_running; }

public slots:
    void showProgress(const transfer::Progress &progress);
    void appendLog(const QString &line);
    // The transfer ended, or was refused before it began (the port closed, another transfer).
    void transferFinished(bool ok, const QString &message);
    void askExisting(int id, const QString &name);

signals:
    void startRequested(const transfer::Request &request);
    void cancelRequested();
    void existingFileAnswered(int id, transfer::ExistingFile what);
    // A setting or the window's place changed.
    void settingsChanged(const transfer::WindowSettings &settings);
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void build();
    void wire();
    void updateRows();
    void start();
    void chooseFiles();
    void chooseFolder();
    void setRunning(bool running);
    void changed();
    void nextQuestion();
    [[nodiscard]] Protocol protocol() const;
    [[nodiscard]] Direction direction() const;

    QRadioButton *m_send;
    QRadioButton *m_receive;
    QComboBox *m_protocol;
    QLineEdit *m_files;
    QPushButton *m_chooseFilesButton;
    QLineEdit *m_folder;
    QPushButton *m_chooseFolderButton;
    QLineEdit *m_xmodemName;
    QLineEdit *m_startCommand;
    QCheckBox *m_only1K;
    QCheckBox *m_stripPadding;
    QSpinBox *m_charDelay;
    QSpinBox *m_lineDelay;
    QComboBox *m_lineEnding;
    QLineEdit *m_prompt;
    QLabel *m_note;
    QWidget *m_incoming;
    QPushButton *m_start;
    QPushButton *m_cancel;
    QProgressBar *m_bar;
    QLabel *m_stats;
    QPlainTextEdit *m_log;
    QFormLayout *m_form;
    QLayout *m_filesRow;
    QLayout *m_folderRow;

    FileChooser m_chooseFiles;
    FolderChooser m_chooseFolder;
    ExistingQuestion m_askExisting;
    std::function<bool()> m_lrzszPresent;
    QList<std::pair<int, QString>> m_questions;
    bool m_asking = false;
    bool m_running = false;
    bool m_loading = false;
    QRect m_geometry;
    RateMeter m_rate;
    QElapsedTimer m_clock;
};

// Joins a window to a session: its cancel and answers go to the session, the session's
// progress, log, questions and end to the window. Starting stays with the caller, which readies
// the port first and then calls TransferSession::start with the window's request.
void connectSessionToWindow(TransferSession *session, TransferWindow *window);

} // namespace transfer
