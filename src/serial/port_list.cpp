#include "serial/port_list.h"

#include "app/form1.h"
#include "port/net_link.h"
#include "ui_form1.h"

#include <QAbstractItemView>
#include <QFileInfo>
#include <QPainter>
#include <QSerialPortInfo>

namespace {

constexpr int DetailGap = 12;

} // namespace

void PortItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                             const QModelIndex &index) const
{
    QStyleOptionViewItem item = option;
    const bool present = index.data(PresentRole).toBool();
    if (!present)
        item.palette.setColor(QPalette::Text,
                              option.palette.color(QPalette::Disabled, QPalette::Text));
    QStyledItemDelegate::paint(painter, item, index);
    const QString detail = index.data(DetailRole).toString();
    if (detail.isEmpty())
        return;
    const int nameWidth = option.fontMetrics.horizontalAdvance(index.data().toString());
    QRect rect = option.rect.adjusted(nameWidth + DetailGap + 4, 0, -4, 0);
    painter->save();
    painter->setPen(option.palette.color(option.state & QStyle::State_Selected
                                             ? QPalette::HighlightedText
                                             : QPalette::PlaceholderText));
    painter->drawText(rect, Qt::AlignVCenter | Qt::AlignLeft,
                      option.fontMetrics.elidedText(detail, Qt::ElideRight, rect.width()));
    painter->restore();
}

QSize PortItemDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    const QString detail = index.data(DetailRole).toString();
    if (!detail.isEmpty())
        size.rwidth() += DetailGap + option.fontMetrics.horizontalAdvance(detail);
    return size;
}

QString portDetail(const QString &device, const QList<QSerialPortInfo> &system)
{
    const QFileInfo file(device);
    if (device.isEmpty() || !file.exists())
        return {};
    // A stable name under /dev/serial/by-id is a link to the tty that the system lists.
    const QString target = file.canonicalFilePath();
    QString detail = QFileInfo(target).fileName();
    if (target.startsWith(QStringLiteral("/dev/pts/")))
        detail = QStringLiteral("pts/") + detail;
    for (const QSerialPortInfo &info : system) {
        if (info.systemLocation() != target)
            continue;
        if (!info.description().isEmpty())
            detail += QStringLiteral(" · ") + info.description();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            detail += QStringLiteral(" (%1:%2)")
                          .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                          .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        break;
    }
    return detail;
}

void Form1::connectPortList()
{
    connect(ui->ComPort, &ListBox::popupAboutToShow, this, &Form1::ComPort_PopupAboutToShow);
    ui->ComPort->setItemDelegate(new PortItemDelegate(ui->ComPort));
}

// Read afresh each time the list opens, so that an adapter plugged in meanwhile shows up.
void Form1::ComPort_PopupAboutToShow()
{
    auto *list = ui->ComPort;
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    for (int i = 0; i < list->count(); ++i) {
        const QString device = portDevice(i + 1);
        // A network port is not asked whether it is there: connecting resets the remote board.
        const std::optional<netport::Address> address = netport::parse(device);
        const QString detail = address ? netport::describe(*address) : portDetail(device, system);
        list->setItemData(i, detail, PortItemDelegate::DetailRole);
        list->setItemData(i, !detail.isEmpty(), PortItemDelegate::PresentRole);
        list->setItemData(i, detail.isEmpty() ? device : device + QStringLiteral("\n") + detail,
                          Qt::ToolTipRole);
    }
    list->view()->setMinimumWidth(list->view()->sizeHintForColumn(0) + 24);
}
