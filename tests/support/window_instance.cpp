// A second running program for the tests: the window with the settings file argv[1], its port
// argv[2] (a number) picked and opened as a user does. Prints "open" once it is, then runs until
// it is ended.
#include "app/controls.h"
#include "app/form1.h"
#include "support/test_platform.h"

#include <QApplication>
#include <QPushButton>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    TestPlatform *platform = nullptr;
    Form1 window(testPlatform(platform, QString::fromLocal8Bit(argv[1])));
    window.findChild<ListBox *>(QStringLiteral("ComPort"))->select(QByteArray(argv[2]).toInt() - 1);
    auto *openCom = window.findChild<QPushButton *>(QStringLiteral("OpenCom"));
    openCom->click();
    std::puts(openCom->text() == QStringLiteral("关闭串口") ? "open" : "failed");
    std::fflush(stdout);
    return app.exec();
}
