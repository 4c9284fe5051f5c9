#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

// `zelqo-serial ARGUMENTS` as a script runs it, without a display, while this process's event
// loop runs (a window of this process may be the one that answers). runtimeFolder, when given,
// replaces XDG_RUNTIME_DIR.
struct SerialCommand
{
    bool finished = false;
    int status = -1;
    QString output;

    explicit SerialCommand(const QStringList &arguments, const QString &runtimeFolder = {})
    {
        QProcess command;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(name));
        if (!runtimeFolder.isEmpty())
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeFolder);
        command.setProcessEnvironment(environment);
        command.setProcessChannelMode(QProcess::MergedChannels);
        command.start(QStringLiteral(ZELQO_SERIAL_PATH), arguments);
        finished =
            QTest::qWaitFor([&command] { return command.state() == QProcess::NotRunning; }, 10000);
        output = QString::fromUtf8(command.readAll());
        if (finished && command.exitStatus() == QProcess::NormalExit)
            status = command.exitCode();
    }
    // Finished with status and printed what starts with said.
    [[nodiscard]] bool gave(int wanted, const QString &said) const
    {
        return finished && status == wanted && output.startsWith(said);
    }
};
