#include "plot/plot_window.h"

#include "plot/plot_view.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDoubleValidator>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>
#include <limits>

namespace {

// A bound of the range: any number a sample can be. What is left unfinished (too large, "1e",
// empty) gives way to the bound in force when Return is pressed or the focus leaves.
class BoundValidator : public QDoubleValidator
{
public:
    BoundValidator(const double &inForce, QObject *parent)
        : QDoubleValidator(-double(std::numeric_limits<float>::max()),
                           double(std::numeric_limits<float>::max()), 1000, parent),
          m_inForce(inForce)
    {}
    void fixup(QString &input) const override { input = QString::number(m_inForce, 'g', 10); }

private:
    const double &m_inForce;
};

} // namespace

PlotWindow::PlotWindow(QWidget *parent)
    : QWidget(parent, Qt::Window), m_view(new PlotView(this)), m_seconds(new QSpinBox(this)),
      m_auto(new QCheckBox(QStringLiteral("自动范围"), this)), m_min(new QLineEdit(this)),
      m_max(new QLineEdit(this)), m_freeze(new QPushButton(QStringLiteral("暂停"), this))
{
    setWindowTitle(QStringLiteral("波形图"));
    setObjectName(QStringLiteral("PlotWindow"));
    m_view->setObjectName(QStringLiteral("PlotView"));
    m_seconds->setObjectName(QStringLiteral("PlotSeconds"));
    m_seconds->setRange(1, 600);
    m_seconds->setValue(int(m_view->windowSeconds()));
    m_seconds->setSuffix(QStringLiteral(" 秒"));
    m_auto->setObjectName(QStringLiteral("PlotAutoRange"));
    m_auto->setChecked(true);
    m_min->setValidator(new BoundValidator(m_fixedMin, m_min));
    m_max->setValidator(new BoundValidator(m_fixedMax, m_max));
    for (QLineEdit *edit : {m_min, m_max})
        edit->setMaximumWidth(90);
    m_min->setObjectName(QStringLiteral("PlotMin"));
    m_max->setObjectName(QStringLiteral("PlotMax"));
    m_min->setText(QStringLiteral("0"));
    m_max->setText(QStringLiteral("100"));
    m_freeze->setObjectName(QStringLiteral("PlotFreeze"));
    m_freeze->setCheckable(true);
    m_freeze->setToolTip(
        QStringLiteral("空格键：暂停或继续画面，数据照常记录；暂停时滚轮缩放、拖动平移"));
    auto *csv = new QPushButton(QStringLiteral("导出 CSV…"), this);
    auto *image = new QPushButton(QStringLiteral("导出图片…"), this);
    csv->setObjectName(QStringLiteral("PlotExportCsv"));
    image->setObjectName(QStringLiteral("PlotExportImage"));

    auto *bar = new QHBoxLayout;
    bar->addWidget(new QLabel(QStringLiteral("时间窗口"), this));
    bar->addWidget(m_seconds);
    bar->addSpacing(12);
    bar->addWidget(m_auto);
    bar->addWidget(new QLabel(QStringLiteral("最小"), this));
    bar->addWidget(m_min);
    bar->addWidget(new QLabel(QStringLiteral("最大"), this));
    bar->addWidget(m_max);
    bar->addSpacing(12);
    bar->addWidget(m_freeze);
    bar->addStretch();
    bar->addWidget(csv);
    bar->addWidget(image);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(m_view, 1);
    setFocusProxy(m_view);
    resize(1000, 480);
    applyRange();

    connect(m_seconds, &QSpinBox::valueChanged, this, [this](int seconds) {
        m_view->setWindowSeconds(seconds);
        emit settingsChanged();
    });
    connect(m_view, &PlotView::windowSecondsChanged, this, [this](double seconds) {
        const QSignalBlocker quiet(m_seconds);
        m_seconds->setValue(qRound(seconds));
        emit settingsChanged();
    });
    connect(m_auto, &QCheckBox::toggled, this, [this] {
        applyRange();
        emit settingsChanged();
    });
    for (QLineEdit *edit : {m_min, m_max}) {
        connect(edit, &QLineEdit::editingFinished, this, [this] {
            applyRange();
            emit settingsChanged();
        });
    }
    connect(m_freeze, &QPushButton::toggled, m_view, [this](bool on) {
        m_view->setFrozen(on);
        if (!on)
            m_view->dataAdded();
    });
    connect(m_view, &PlotView::frozenChanged, m_freeze, &QPushButton::setChecked);
    connect(m_view, &PlotView::hiddenChanged, this, &PlotWindow::settingsChanged);
    connect(csv, &QPushButton::clicked, this, &PlotWindow::exportCsvRequested);
    connect(image, &QPushButton::clicked, this, &PlotWindow::exportImageRequested);
}

void PlotWindow::addText(QStringView text, qint64 msecs, qint64 wallMsecs)
{
    if (m_paused)
        return;
    const double t = double(msecs) / 1000;
    const double wallOffset = double(wallMsecs - msecs) / 1000;
    plot::ParsedLine parsed;
    bool added = false;
    qsizetype begin = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c != u'\n' && c != u'\r')
            continue;
        QStringView line = text.sliced(begin, i - begin);
        if (!m_partial.isEmpty()) {
            m_partial += line;
            line = m_partial;
        }
        if (m_lineStarted && plot::parseLine(line, parsed)) {
            m_view->recorder().add(t, parsed, wallOffset);
            added = true;
        }
        m_partial.clear();
        m_lineStarted = true;
        begin = i + 1;
    }
    if (begin < text.size() && m_lineStarted)
        m_partial += text.sliced(begin);
    if (m_partial.size() > MaxLineChars) {
        // Skipped up to its break.
        m_partial.clear();
        m_lineStarted = false;
    }
    if (added)
        m_view->dataAdded();
}

void PlotWindow::restartLines()
{
    m_partial.clear();
    m_lineStarted = false;
}

void PlotWindow::setPaused(const QString &reason)
{
    m_paused = !reason.isEmpty();
    m_view->setNotice(reason);
    restartLines();
}

void PlotWindow::setRange(bool automatic, double min, double max)
{
    m_auto->setChecked(automatic);
    m_min->setText(QString::number(min, 'g', 10));
    m_max->setText(QString::number(max, 'g', 10));
    applyRange();
}

bool PlotWindow::automaticRange() const
{
    return m_auto->isChecked();
}

double PlotWindow::rangeMin() const
{
    return m_min->text().toDouble();
}

double PlotWindow::rangeMax() const
{
    return m_max->text().toDouble();
}

void PlotWindow::applyRange()
{
    m_min->setEnabled(!m_auto->isChecked());
    m_max->setEnabled(!m_auto->isChecked());
    // A bound the view cannot take (inf, or one not below the other) gives way to the last good
    // ones, so that neither the picture nor the settings file holds it.
    if (!std::isfinite(rangeMin()) || !std::isfinite(rangeMax()) || !(rangeMin() < rangeMax())) {
        m_min->setText(QString::number(m_fixedMin, 'g', 10));
        m_max->setText(QString::number(m_fixedMax, 'g', 10));
    }
    m_fixedMin = rangeMin();
    m_fixedMax = rangeMax();
    m_view->setFixedRange(rangeMin(), rangeMax());
    m_view->setAutoRange(m_auto->isChecked());
}

void PlotWindow::closeEvent(QCloseEvent *event)
{
    emit closed();
    QWidget::closeEvent(event);
}
