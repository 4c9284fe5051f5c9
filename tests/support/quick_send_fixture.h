#pragma once

#include "quicksend/checksum.h"
#include "quicksend/quick_send_window.h"
#include "send/quick_send_store.h"
#include "settings/settings_file.h"
#include "support/window_fixture.h"

#include <QInputMethodEvent>
#include <QTableWidget>

// Entries and rules as a user keeps them in the settings file, and the window that reads them.
namespace quicksendfixture {

inline quicksend::Entry entry(const QString &name, quicksend::Format format, const QString &content,
                              quicksend::Algorithm algorithm = quicksend::Algorithm::None)
{
    quicksend::Entry e;
    e.name = name;
    e.format = format;
    e.content = content;
    e.checksum = quicksend::defaultChecksum(algorithm);
    return e;
}

inline quicksend::Rule rule(const QString &pattern, const QString &page, const QString &entry,
                            int delayMs = 0, bool regex = false)
{
    quicksend::Rule r;
    r.pattern = pattern;
    r.page = page;
    r.entry = entry;
    r.delayMs = delayMs;
    r.regex = regex;
    return r;
}

// Stores pages (and rules, switched on when there are any) and starts the window afresh, as the
// next start of the program does.
inline void restartWith(WindowFixture &f, const QList<quicksend::Page> &pages,
                        const QList<quicksend::Rule> &rules = {})
{
    const SettingsFile settings(f.iniPath());
    quicksendstore::storeBook(settings, {pages, QString()});
    quicksendstore::storeReplies(settings, {!rules.isEmpty(), rules});
    f.window.reset();
    f.window = std::make_unique<Form1>(testPlatform(f.platform, f.iniPath()));
}

// Opens the quick-send window as a user does, with the receive box's menu.
inline quicksend::QuickSendWindow *open(const WindowFixture &f)
{
    if (f.useMenu("RevText", {QStringLiteral("快捷发送…")}).isEmpty())
        return nullptr;
    return f.window->findChild<quicksend::QuickSendWindow *>(QStringLiteral("QuickSendWindow"));
}

// Chinese typed the way it arrives: committed by the input method.
inline void commitText(QWidget *field, const QString &text)
{
    QInputMethodEvent event;
    event.setCommitString(text);
    QApplication::sendEvent(field, &event);
}

template <typename T = QWidget> T *part(quicksend::QuickSendWindow *window, const char *name)
{
    auto *w = window->findChild<T *>(QString::fromLatin1(name));
    if (!w)
        qFatal("no part %s", name);
    return w;
}

} // namespace quicksendfixture
