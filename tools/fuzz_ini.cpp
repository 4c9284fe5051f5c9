// libFuzzer target for the settings-file rules. Input: one byte picking the section, one the key,
// one another section and key whose value must not move, then the value to write, a NUL, and the
// file bytes it is written into.

#include "settings/ini.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const QStringList Sections{QStringLiteral("端口设置"), QStringLiteral("发送区"),
                           QStringLiteral("小车控制区"), QStringLiteral("p"), QStringLiteral("P2")};
const QStringList Keys{QStringLiteral("端口"), QStringLiteral("发送文本框"),
                       QStringLiteral("自动/手动"), QStringLiteral("k"), QStringLiteral("Key")};

// Says which check failed: the target has no debugger attached.
#define check(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz_ini: failed %s\n", #condition);                             \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

QString cutTo255(const QString &text)
{
    return ini::readValue(QByteArray(), QString(), QString(), text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const QString &section = Sections[data[0] % Sections.size()];
    const QString &key = Keys[data[0] / Sections.size() % Keys.size()];
    const QString &otherSection = Sections[data[1] % Sections.size()];
    const QString &otherKey = Keys[data[1] / Sections.size() % Keys.size()];
    const bool writeOther = data[2] & 1;
    const QByteArray rest(reinterpret_cast<const char *>(data + 3),
                          static_cast<qsizetype>(size - 3));
    const qsizetype split = rest.indexOf('\0');
    const QString value = QString::fromUtf8(rest.first(split < 0 ? rest.size() : split));
    const QByteArray file = split < 0 ? QByteArray() : rest.sliced(split + 1);
    const bool sameKey = section == otherSection && key == otherKey;

    const QString before = ini::readValue(file, otherSection, otherKey, QStringLiteral("-"));
    check(before.toUtf8().size() <= 255);

    QByteArray written = ini::writeValue(file, section, key, value);
    const QByteArray bom("\xEF\xBB\xBF");
    check(!file.startsWith(bom) || written.startsWith(bom));

    // The value reads back as it would from a file holding nothing else; values with line
    // breaks come back whole.
    const QString readBack = ini::readValue(written, section, key, QStringLiteral("-"));
    const QByteArray alone = ini::writeValue(QByteArray(), section, key, value);
    check(readBack == ini::readValue(alone, section, key, QStringLiteral("-")));
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')))
        check(readBack == cutTo255(value));

    if (!sameKey)
        check(ini::readValue(written, otherSection, otherKey, QStringLiteral("-")) == before);

    // Writing the same value again changes nothing.
    check(ini::writeValue(written, section, key, value) == written);

    // A whole section brings its value back exactly, and the other sections stay as they were.
    const QByteArray withSection = ini::writeSection(file, section, {{key, value}});
    const QList<std::pair<QString, QString>> whole{{key, value}};
    check(ini::readSection(withSection, section) == whole);
    if (otherSection != section)
        check(ini::readValue(withSection, otherSection, otherKey, QStringLiteral("-")) == before);
    const QByteArray removed = ini::removeKey(written, section, key);
    if (!sameKey)
        check(ini::readValue(removed, otherSection, otherKey, QStringLiteral("-")) ==
              ini::readValue(written, otherSection, otherKey, QStringLiteral("-")));

    if (writeOther && !sameKey) {
        written = ini::writeValue(written, otherSection, otherKey, value);
        check(ini::readValue(written, section, key, QStringLiteral("-")) == readBack);
    }
    return 0;
}
