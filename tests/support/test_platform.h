#pragma once

#include "app/platform.h"
#include "app/settings_keys.h"
#include "port/port_map.h"
#include "settings/settings_file.h"
#include "support/network_servers.h"

#include <QList>
#include <QMap>

#include <memory>
#include <optional>

// The machine as a test sees it: message boxes and browser calls are recorded instead of
// shown, the clock is fixed, and the settings file lives where the test says.
class TestPlatform : public Platform
{
public:
    struct Message
    {
        QString text;
        QString title;
        QMessageBox::Icon icon;
    };

    explicit TestPlatform(QString settingsPath) : m_settingsPath(std::move(settingsPath)) {}

    void messageBox(QWidget *, const QString &text, const QString &title,
                    QMessageBox::Icon icon) override
    {
        messages.append({text, title, icon});
    }
    // Records the question and answers it with questionAnswer.
    [[nodiscard]] bool question(QWidget *, const QString &text, const QString &title) override
    {
        messages.append({text, title, QMessageBox::Question});
        return questionAnswer;
    }
    bool openUrl(const QUrl &url) override
    {
        urls.append(url);
        return openSucceeds;
    }
    [[nodiscard]] QDateTime now() const override { return moment; }
    [[nodiscard]] qint64 nowMsecs() const override { return moment.toMSecsSinceEpoch(); }
    // Follows the fixed moment unless a test sets a monotonic clock of its own.
    [[nodiscard]] qint64 monotonicMsecs() const override
    {
        return monotonic ? *monotonic : moment.toMSecsSinceEpoch();
    }
    [[nodiscard]] QString settingsPath() const override { return m_settingsPath; }
    // Answers the save dialog with the next of saveAnswers (empty: cancelled).
    [[nodiscard]] QString saveFileName(QWidget *, const QString &,
                                       const QString &suggested) override
    {
        suggestedPaths.append(suggested);
        return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
    }

    // Answers the open dialog with the next of openAnswers (empty: cancelled).
    [[nodiscard]] QString openFileName(QWidget *, const QString &, const QString &,
                                       const QString &) override
    {
        return openAnswers.isEmpty() ? QString() : openAnswers.takeFirst();
    }

    // Answers with openErrors' entry for the device where it has one, else asks the system.
    [[nodiscard]] int openError(const QString &device) override
    {
        ++openErrorCalls;
        return openErrors.contains(device) ? openErrors.value(device) : Platform::openError(device);
    }
    // Records each setting of the lines; a pseudo-terminal has none, so the system is asked only
    // when realControlLines is set.
    [[nodiscard]] int setControlLines(int fd, bool dtr, bool rts) override
    {
        controlLines.append({dtr, rts});
        return realControlLines ? Platform::setControlLines(fd, dtr, rts) : 0;
    }

    // A pseudo-terminal takes a break and carries nothing: recorded.
    [[nodiscard]] int setBreak(int, bool on) override
    {
        breaks.append(on);
        return 0;
    }
    // The next of portLists, the last one staying; the system's own list when there is none.
    [[nodiscard]] QList<identity::PortRecord> presentPorts() override
    {
        ++portListReads;
        if (portLists.isEmpty())
            return Platform::presentPorts();
        return portLists.size() > 1 ? portLists.takeFirst() : portLists.first();
    }

    // Fails every connection with failConnect where it is set; else a real socket.
    [[nodiscard]] QTcpSocket *tcpSocket() override
    {
        return failConnect ? new FailingSocket(*failConnect) : Platform::tcpSocket();
    }

    QList<Message> messages;
    std::optional<QAbstractSocket::SocketError> failConnect;
    QMap<QString, int> openErrors;
    int openErrorCalls = 0;
    QList<QList<identity::PortRecord>> portLists;
    int portListReads = 0;
    QList<std::pair<bool, bool>> controlLines; // (DTR, RTS)
    QList<bool> breaks;
    bool realControlLines = false;
    QList<QUrl> urls;
    QStringList saveAnswers;
    QStringList openAnswers;
    QStringList suggestedPaths;
    bool openSucceeds = true;
    bool questionAnswer = true;
    QDateTime moment;
    std::optional<qint64> monotonic;

private:
    QString m_settingsPath;
};

// A platform for a window to own, and the test's view of it.
inline std::unique_ptr<Platform> testPlatform(TestPlatform *&view, const QString &settingsPath)
{
    auto platform = std::make_unique<TestPlatform>(settingsPath);
    view = platform.get();
    return platform;
}

// Points every port number at a device of the test's choosing, or at nothing, so that
// the ports of the machine running the tests never show up.
inline void mapPorts(const QString &settingsPath, const QMap<int, QString> &devices)
{
    const SettingsFile file(settingsPath);
    for (int n = 1; n <= portmap::portCount; ++n)
        settingkeys::portMapEntry(n).write(
            file, devices.value(n, QStringLiteral("/nonexistent/tty%1").arg(n)));
}
