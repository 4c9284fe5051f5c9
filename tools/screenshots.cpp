// Takes the README's pictures of the window: narrow, widened with the car panel, and the
// Bluetooth tab. Run under a real display (xvfb-run) with the output folder as argument.
#include "app/controls.h"
#include "app/form1.h"
#include "app/platform.h"

#include <QApplication>
#include <QDir>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>

namespace {

class ScreenshotPlatform : public Platform
{
public:
    explicit ScreenshotPlatform(QString path) : m_path(std::move(path)) {}
    [[nodiscard]] QString settingsPath() const override { return m_path; }

private:
    QString m_path;
};

bool save(Form1 &window, const QString &path)
{
    QTest::qWait(300);
    return window.grab().save(path);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));
    QTemporaryDir settings;
    Form1 window(new ScreenshotPlatform(settings.filePath(QStringLiteral("shots.ini"))));
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    bool ok = save(window, out.filePath(QStringLiteral("window-narrow.png")));
    emit window.findChild<ClickLabel *>(QStringLiteral("LabelExpand"))->Click();
    ok = save(window, out.filePath(QStringLiteral("window-wide-car.png"))) && ok;
    window.findChild<QTabBar *>(QStringLiteral("TabStrip"))->setCurrentIndex(1);
    ok = save(window, out.filePath(QStringLiteral("window-bluetooth.png"))) && ok;
    return ok ? 0 : 1;
}
