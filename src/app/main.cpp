#include "app/form1.h"
#include "app/quit_on_signals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QuitOnSignals quitOnSignals;
    Form1 window;
    window.show();
    return app.exec();
}
