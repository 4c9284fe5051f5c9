#pragma once

#include <QFont>
#include <QStringList>

// The window's font, for the window and for anything drawn as it draws. The captions were laid
// out for SimSun: half-width Latin, full-width Chinese. WenQuanYi's mono face has the same
// proportions, so every caption fits its box on Linux too.
[[nodiscard]] inline QFont windowFont(QFont base)
{
    base.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"),
                      QStringLiteral("WenQuanYi Micro Hei Mono"),
                      QStringLiteral("Noto Sans Mono CJK SC"),
                      QStringLiteral("WenQuanYi Micro Hei")});
    base.setPointSize(9);
    return base;
}
