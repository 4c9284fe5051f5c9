#pragma once

#include "quicksend/entries.h"
#include "quicksend/payload.h"

#include <QGroupBox>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QWidget;

namespace quicksend {

// Every field of one entry, with the bytes it will send shown as they are typed.
class EntryEditor : public QGroupBox
{
    Q_OBJECT
public:
    // Why a hotkey cannot be taken, or empty.
    using HotkeyCheck = std::function<QString(const QString &key)>;

    explicit EntryEditor(QWidget *parent = nullptr);

    void setHotkeyCheck(HotkeyCheck check) { m_hotkeyCheck = std::move(check); }
    // What the preview encodes text with, and what "默认" ends it with.
    void setSendContext(TextEncoding encoding, const QString &defaultEnding);
    // Shows entry without raising edited().
    void setEntry(const Entry &entry);
    [[nodiscard]] const Entry &entry() const { return m_entry; }
    void clear();

signals:
    // The user changed a field; entry() has it.
    void edited();
    // A hotkey was refused, with why.
    void refused(const QString &why);

private:
    void load();
    void read();
    void chooseHotkey();
    void updatePreview();
    void updateEnabled();

    Entry m_entry;
    TextEncoding m_encoding = TextEncoding::Utf8;
    QString m_defaultEnding;
    HotkeyCheck m_hotkeyCheck;
    bool m_loading = false;

    QLineEdit *m_name;
    QComboBox *m_format;
    QLineEdit *m_content;
    QComboBox *m_ending;
    QComboBox *m_checksum;
    QSpinBox *m_start;
    QSpinBox *m_end;
    QSpinBox *m_position;
    QComboBox *m_form;
    QComboBox *m_order;
    QWidget *m_custom;
    QComboBox *m_width;
    QLineEdit *m_poly;
    QLineEdit *m_init;
    QCheckBox *m_refIn;
    QCheckBox *m_refOut;
    QLineEdit *m_xorOut;
    QComboBox *m_hotkey;
    QSpinBox *m_delay;
    QLabel *m_preview;
};

// The bytes of a frame for a person: the first bytes in hex and how many there are, or why it
// cannot go.
[[nodiscard]] QString previewText(const Payload &frame);

} // namespace quicksend
