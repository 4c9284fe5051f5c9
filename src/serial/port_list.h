#pragma once

#include <QStyledItemDelegate>

// Draws an entry of the port list with, to the right of its name, what stands behind the number:
// the device and what the system says of it, or the entry dimmed when no device is there. The
// entries' own texts stay "COM1" to "COM48", which is what the program compares and stores.
class PortItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    // Item data roles the window fills each time the list opens.
    static constexpr int DetailRole = Qt::UserRole + 1;  // QString, empty when absent
    static constexpr int PresentRole = Qt::UserRole + 2; // bool

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem &option,
                                 const QModelIndex &index) const override;
};

class QSerialPortInfo;

// What the system says of a device, as the list shows it: "ttyUSB0 · USB2.0-Serial (1a86:7523)",
// from the ports the system lists; empty when there is no such device.
[[nodiscard]] QString portDetail(const QString &device, const QList<QSerialPortInfo> &system);
