#include "app/port_command.h"

#include "port/port_requests.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <cstring>

std::optional<int> runPortCommand(int argc, char *argv[])
{
    using portrequest::Verb;
    for (int i = 1; i < argc; ++i) {
        const char *option = argv[i];
        for (const auto &[verb, name] :
             {std::make_pair(Verb::Yield, "--yield"), std::make_pair(Verb::Reclaim, "--reclaim")}) {
            const std::size_t length = std::strlen(name);
            if (std::strncmp(option, name, length) != 0 ||
                (option[length] != '\0' && option[length] != '='))
                continue;
            const char *port = option[length] == '=' ? option + length + 1
                               : i + 1 < argc        ? argv[i + 1]
                                                     : "";
            QCoreApplication app(argc, argv);
            if (*port == '\0') {
                QTextStream(stderr) << QStringLiteral("用法：zelqo-serial %1 COM5（或设备路径）")
                                           .arg(QString::fromLatin1(name))
                                    << Qt::endl;
                return 2;
            }
            QTextStream out(stdout);
            return portrequest::ask({verb, portrequest::normalPort(QString::fromLocal8Bit(port))},
                                    out);
        }
    }
    return std::nullopt;
}
