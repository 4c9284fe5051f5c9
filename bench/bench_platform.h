#pragma once

#include "app/platform.h"

#include <cstdio>

// The real machine for a benchmark, but messages go to stderr instead of a modal box and the
// settings file is the benchmark's own.
class BenchPlatform : public Platform
{
public:
    explicit BenchPlatform(QString path) : m_path(std::move(path)) {}
    void messageBox(QWidget *, const QString &text, const QString &, QMessageBox::Icon) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    [[nodiscard]] QString settingsPath() const override { return m_path; }

private:
    QString m_path;
};
