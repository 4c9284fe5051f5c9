#include "app/form1.h"
#include "app/port_command.h"
#include "app/quit_on_signals.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

int main(int argc, char *argv[])
{
    // Lending the port from a script: no window, no display.
    if (const std::optional<int> status = runPortCommand(argc, argv))
        return *status;
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral(ZELQO_APP_ID));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/app/desktop/" ZELQO_APP_ID ".svg")));
    // The window speaks Chinese; Qt's own dialogs and menus (the file dialog among them) do too.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                     QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);
    const QuitOnSignals quitOnSignals;
    Form1 window;
    window.show();
    return app.exec();
}
