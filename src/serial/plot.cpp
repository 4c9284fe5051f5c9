#include "app/form1.h"

#include "app/platform.h"
#include "app/settings_keys.h"
#include "app/window_keys.h"
#include "plot/plot_data.h"
#include "plot/plot_view.h"
#include "plot/plot_window.h"
#include "ui_form1.h"

#include <QBuffer>
#include <QImageWriter>
#include <QMenu>
#include <QShortcut>

namespace {

const QString hexNotice = QStringLiteral("十六进制显示时不绘图：请在接收区选择“字符格式显示”。");

} // namespace

// "波形图…" in the receive box's menu, and Ctrl+Shift+P in the box: the numbers the board
// prints, as curves in a window of their own.
void Form1::connectPlot()
{
    connect(ui->RevText, &ReceiveBox::contextMenuAboutToShow, this, [this](QMenu *menu) {
        menu->addAction(QStringLiteral("波形图…"), this, &Form1::Plot_Click);
    });
    auto *shortcut = new QShortcut(QKeySequence(windowkeys::plot.key), ui->RevText);
    shortcut->setContext(Qt::WidgetShortcut);
    connect(shortcut, &QShortcut::activated, this, &Form1::Plot_Click);
}

void Form1::Plot_Click()
{
    if (!m_plot) {
        m_plot = new PlotWindow(this);
        m_plot->setAttribute(Qt::WA_DeleteOnClose);
        const QByteArray geometry =
            QByteArray::fromBase64(settingkeys::plotGeometry.read(*m_settings).toLatin1());
        if (!geometry.isEmpty())
            m_plot->restoreGeometry(geometry);
        m_plot->view()->setWindowSeconds(settingkeys::plotSeconds.read(*m_settings).toDouble());
        m_plot->setRange(settingkeys::plotAutoRange.read(*m_settings) != QStringLiteral("0"),
                         settingkeys::plotMin.read(*m_settings).toDouble(),
                         settingkeys::plotMax.read(*m_settings).toDouble());
        const QString hidden = settingkeys::plotHidden.read(*m_settings);
        m_plot->view()->setHiddenLabels(hidden.split(QLatin1Char(','), Qt::SkipEmptyParts));
        m_plot->setPaused(ui->RevHexSel->isChecked() ? hexNotice : QString());
        connect(m_plot, &PlotWindow::settingsChanged, this, &Form1::storePlotSettings);
        connect(m_plot, &PlotWindow::closed, this, &Form1::PlotWindow_Closed);
        connect(m_plot, &PlotWindow::exportCsvRequested, this, &Form1::PlotExportCsv_Click);
        connect(m_plot, &PlotWindow::exportImageRequested, this, &Form1::PlotExportImage_Click);
    }
    m_plot->show();
    m_plot->raise();
    m_plot->activateWindow();
}

// Text as the receive box got it; nothing is done while no plot is open. The plot runs on a
// clock that never steps; its labels and CSV give the wall clock's time.
void Form1::plotReceived(QStringView text, qint64 msecs)
{
    if (m_plot)
        m_plot->addText(text, m_platform->monotonicMsecs(), msecs);
}

void Form1::plotDisplayMode()
{
    if (m_plot)
        m_plot->setPaused(ui->RevHexSel->isChecked() ? hexNotice : QString());
}

void Form1::storePlotSettings()
{
    settingkeys::plotSeconds.write(*m_settings, QString::number(m_plot->view()->windowSeconds()));
    settingkeys::plotAutoRange.write(*m_settings, m_plot->automaticRange() ? QStringLiteral("1")
                                                                           : QStringLiteral("0"));
    settingkeys::plotMin.write(*m_settings, QString::number(m_plot->rangeMin(), 'g', 10));
    settingkeys::plotMax.write(*m_settings, QString::number(m_plot->rangeMax(), 'g', 10));
    settingkeys::plotHidden.write(*m_settings,
                                  m_plot->view()->hiddenLabels().join(QLatin1Char(',')));
}

// Closing stops plotting and frees what was recorded; where the window stood is kept.
void Form1::PlotWindow_Closed()
{
    settingkeys::plotGeometry.write(*m_settings,
                                    QString::fromLatin1(m_plot->saveGeometry().toBase64()));
    storePlotSettings();
    m_plot = nullptr;
}

void Form1::PlotExportCsv_Click()
{
    saveToAskedFile(QStringLiteral("导出 CSV"), QStringLiteral("波形图-"), QStringLiteral(".csv"),
                    [this] { return plot::toCsv(m_plot->view()->recorder()); });
}

void Form1::PlotExportImage_Click()
{
    saveToAskedFile(QStringLiteral("导出图片"), QStringLiteral("波形图-"), QStringLiteral(".png"),
                    [this] {
                        QByteArray png;
                        QBuffer buffer(&png);
                        buffer.open(QIODevice::WriteOnly);
                        QImageWriter(&buffer, "png").write(m_plot->view()->grab().toImage());
                        return png;
                    });
}
