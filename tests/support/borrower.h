#pragma once

#include <QFile>
#include <QProcess>
#include <QStringList>

#include <sys/stat.h>

// Another program that opens the board's port, run as the unprivileged user nobody as a flasher
// runs as the user: root opens a device that another program holds exclusively, and would get
// in whether or not the program released its hold.
class Borrower
{
public:
    // The device must be open to everyone for nobody to open it.
    static bool openToEveryone(const QString &device)
    {
        return ::chmod(QFile::encodeName(device).constData(), 0666) == 0;
    }

    void start(const QString &program, const QStringList &arguments)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("setpriv"),
                      QStringList{QStringLiteral("--reuid=nobody"),
                                  QStringLiteral("--regid=nogroup"),
                                  QStringLiteral("--clear-groups"), program} +
                          arguments);
    }
    // tests/support/opener.py with its arguments.
    void startOpener(const QString &device, const QStringList &options)
    {
        start(QStringLiteral("/usr/bin/python3"),
              QStringList{QStringLiteral(ZELQO_TESTS_DIR "/support/opener.py"), device} + options);
    }
    // What it printed so far, on its standard output and error.
    [[nodiscard]] QString output()
    {
        m_output += QString::fromUtf8(process.readAllStandardOutput());
        return m_output;
    }
    [[nodiscard]] bool finished() const { return process.state() == QProcess::NotRunning; }
    // Closes its standard input: an opener lets go of the port and ends.
    void release() { process.closeWriteChannel(); }
    [[nodiscard]] qint64 pid() const { return process.processId(); }

    QProcess process;

private:
    QString m_output;
};
