#pragma once

#include <QStringView>
#include <QWidget>

class PlotView;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

// The plot's own window: the time window, automatic or fixed range, freeze and export above the
// plot. Text handed to it is cut into lines; the numbers of each whole line become samples at
// the time the text arrived.
class PlotWindow : public QWidget
{
    Q_OBJECT
public:
    explicit PlotWindow(QWidget *parent = nullptr);

    [[nodiscard]] PlotView *view() const { return m_view; }
    // Received text, arrived at msecs of a monotonic clock, when the wall clock read wallMsecs
    // since the epoch. The line under way when plotting starts is dropped: its beginning was not
    // seen; so is a line longer than MaxLineChars, which holds no sample anyone prints.
    static constexpr qsizetype MaxLineChars = 4096;
    void addText(QStringView text, qint64 msecs, qint64 wallMsecs);
    // Forgets the line under way, as when plotting starts afresh.
    void restartLines();
    // Plotting paused with a reason shown instead (hex display), or going on (empty).
    void setPaused(const QString &reason);

    void setRange(bool automatic, double min, double max);
    [[nodiscard]] bool automaticRange() const;
    [[nodiscard]] double rangeMin() const;
    [[nodiscard]] double rangeMax() const;

signals:
    void exportCsvRequested();
    void exportImageRequested();
    // The time window, the range or the hidden series changed.
    void settingsChanged();
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void applyRange();

    PlotView *m_view;
    QSpinBox *m_seconds;
    QCheckBox *m_auto;
    QLineEdit *m_min;
    QLineEdit *m_max;
    QPushButton *m_freeze;
    QString m_partial;
    bool m_lineStarted = false;
    // The last fixed bounds the view took, put back over a bound it cannot take (inf).
    double m_fixedMin = 0;
    double m_fixedMax = 100;
    bool m_paused = false;
};
