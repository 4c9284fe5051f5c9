#include "quicksend/entry_editor.h"

#include "quicksend/frame.h"
#include "quicksend/hotkeys.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QSpinBox>

namespace quicksend {

namespace {

constexpr int PreviewBytes = 48;
// Offsets beyond any frame an entry may send.
constexpr int MaxOffset = int(MaxPayloadBytes) + 64;
const QString noHotkey = QStringLiteral("无");

QLineEdit *hexField(QWidget *parent, const char *name)
{
    auto *field = new QLineEdit(parent);
    field->setObjectName(QLatin1String(name));
    field->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9A-Fa-f]{1,8}")), field));
    field->setMaximumWidth(90);
    return field;
}

QSpinBox *offsetBox(QWidget *parent, const char *name)
{
    auto *box = new QSpinBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setRange(-MaxOffset, MaxOffset);
    return box;
}

QString hex(quint32 value, int width)
{
    return QStringLiteral("%1").arg(value, width / 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

QString previewText(const Payload &frame)
{
    if (!frame.ok())
        return frame.error;
    QString text = hexBytes(frame.bytes.left(PreviewBytes));
    if (frame.bytes.size() > PreviewBytes)
        text += QStringLiteral(" …");
    return QStringLiteral("%1 字节：%2").arg(frame.bytes.size()).arg(text);
}

EntryEditor::EntryEditor(QWidget *parent)
    : QGroupBox(QStringLiteral("条目"), parent), m_name(new QLineEdit(this)),
      m_format(new QComboBox(this)), m_content(new QLineEdit(this)), m_ending(new QComboBox(this)),
      m_checksum(new QComboBox(this)), m_start(offsetBox(this, "EntryStart")),
      m_end(offsetBox(this, "EntryEnd")), m_position(offsetBox(this, "EntryPosition")),
      m_form(new QComboBox(this)), m_order(new QComboBox(this)), m_custom(new QWidget(this)),
      m_width(new QComboBox(m_custom)), m_poly(hexField(m_custom, "CrcPoly")),
      m_init(hexField(m_custom, "CrcInit")),
      m_refIn(new QCheckBox(QStringLiteral("输入反转"), m_custom)),
      m_refOut(new QCheckBox(QStringLiteral("输出反转"), m_custom)),
      m_xorOut(hexField(m_custom, "CrcXorOut")), m_hotkey(new QComboBox(this)),
      m_delay(new QSpinBox(this)), m_preview(new QLabel(this))
{
    setObjectName(QStringLiteral("EntryEditor"));
    m_name->setObjectName(QStringLiteral("EntryName"));
    m_format->setObjectName(QStringLiteral("EntryFormat"));
    m_format->addItems({formatName(Format::Text), formatName(Format::Hex)});
    m_content->setObjectName(QStringLiteral("EntryContent"));
    m_content->setToolTip(
        QStringLiteral("文本：可用 \\r \\n \\t \\\\ \\xHH（一个原样字节）\n"
                       "十六进制：如 01 03 00 0A 或 0103000A，可用逗号和空格分隔"));
    m_ending->setObjectName(QStringLiteral("EntryEnding"));
    m_ending->addItems(endingNames());
    m_ending->setToolTip(QStringLiteral("“默认”跟随发送区的“发送行尾”；只用于文本"));
    m_checksum->setObjectName(QStringLiteral("EntryChecksum"));
    for (const AlgorithmInfo &algorithm : catalogue())
        m_checksum->addItem(algorithm.name);
    m_start->setToolTip(
        QStringLiteral("校验范围的第一个字节，负数从末尾数起（-1 为最后一个字节）"));
    m_end->setToolTip(QStringLiteral("校验范围的最后一个字节，负数从末尾数起"));
    m_position->setToolTip(
        QStringLiteral("校验插入在这个字节之前；负数从末尾数起：-1 为末尾，-3 为 CR LF 之前"));
    m_form->setObjectName(QStringLiteral("EntryForm"));
    m_form->addItems(formNames());
    m_order->setObjectName(QStringLiteral("EntryOrder"));
    m_order->addItems(orderNames());
    m_width->setObjectName(QStringLiteral("CrcWidth"));
    m_width->addItems({QStringLiteral("8"), QStringLiteral("16"), QStringLiteral("32")});
    m_refIn->setObjectName(QStringLiteral("CrcRefIn"));
    m_refOut->setObjectName(QStringLiteral("CrcRefOut"));
    m_hotkey->setObjectName(QStringLiteral("EntryHotkey"));
    m_hotkey->addItem(noHotkey);
    m_hotkey->addItems(hotkeyChoices());
    m_delay->setObjectName(QStringLiteral("EntryDelay"));
    m_delay->setRange(0, MaxDelayMs);
    m_delay->setSuffix(QStringLiteral(" ms"));
    m_delay->setToolTip(QStringLiteral("按顺序发送时，这一条发出后等待多久再发下一条"));
    m_preview->setObjectName(QStringLiteral("EntryPreview"));
    m_preview->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_preview->setWordWrap(true);

    auto *custom = new QHBoxLayout(m_custom);
    custom->setContentsMargins(0, 0, 0, 0);
    custom->addWidget(new QLabel(QStringLiteral("宽度"), m_custom));
    custom->addWidget(m_width);
    custom->addWidget(new QLabel(QStringLiteral("多项式"), m_custom));
    custom->addWidget(m_poly);
    custom->addWidget(new QLabel(QStringLiteral("初值"), m_custom));
    custom->addWidget(m_init);
    custom->addWidget(m_refIn);
    custom->addWidget(m_refOut);
    custom->addWidget(new QLabel(QStringLiteral("结果异或"), m_custom));
    custom->addWidget(m_xorOut);
    custom->addStretch();

    auto *placement = new QHBoxLayout;
    placement->addWidget(new QLabel(QStringLiteral("范围"), this));
    placement->addWidget(m_start);
    placement->addWidget(new QLabel(QStringLiteral("到"), this));
    placement->addWidget(m_end);
    placement->addWidget(new QLabel(QStringLiteral("位置"), this));
    placement->addWidget(m_position);
    placement->addWidget(m_form);
    placement->addWidget(m_order);
    placement->addStretch();

    auto *kind = new QHBoxLayout;
    kind->addWidget(m_format);
    kind->addWidget(new QLabel(QStringLiteral("行尾"), this));
    kind->addWidget(m_ending);
    kind->addStretch();
    kind->addWidget(new QLabel(QStringLiteral("热键"), this));
    kind->addWidget(m_hotkey);
    kind->addWidget(new QLabel(QStringLiteral("延时"), this));
    kind->addWidget(m_delay);

    auto *form = new QFormLayout(this);
    form->addRow(QStringLiteral("名称"), m_name);
    form->addRow(QStringLiteral("格式"), kind);
    form->addRow(QStringLiteral("内容"), m_content);
    form->addRow(QStringLiteral("校验"), m_checksum);
    form->addRow(QString(), placement);
    form->addRow(QString(), m_custom);
    form->addRow(QStringLiteral("将发送"), m_preview);

    for (QLineEdit *field : {m_name, m_content, m_poly, m_init, m_xorOut})
        connect(field, &QLineEdit::textEdited, this, &EntryEditor::read);
    for (QComboBox *list : {m_format, m_ending, m_form, m_order, m_width})
        connect(list, &QComboBox::currentIndexChanged, this, &EntryEditor::read);
    for (QSpinBox *box : {m_start, m_end, m_position, m_delay})
        connect(box, &QSpinBox::valueChanged, this, &EntryEditor::read);
    for (QCheckBox *check : {m_refIn, m_refOut})
        connect(check, &QCheckBox::toggled, this, &EntryEditor::read);
    connect(m_checksum, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (m_loading)
            return;
        // A newly picked checksum starts in its usual byte order.
        m_entry.checksum.lowFirst = info(Algorithm(index)).lowFirst;
        const QSignalBlocker quiet(m_order);
        m_order->setCurrentIndex(m_entry.checksum.lowFirst ? 1 : 0);
        read();
    });
    connect(m_hotkey, &QComboBox::currentIndexChanged, this, &EntryEditor::chooseHotkey);
    clear();
}

void EntryEditor::setSendContext(TextEncoding encoding, const QString &defaultEnding)
{
    m_encoding = encoding;
    m_defaultEnding = defaultEnding;
    updatePreview();
}

void EntryEditor::setEntry(const Entry &entry)
{
    m_entry = entry;
    setEnabled(true);
    load();
}

void EntryEditor::clear()
{
    m_entry = Entry{};
    load();
    m_preview->clear();
    setEnabled(false);
}

void EntryEditor::load()
{
    m_loading = true;
    const Checksum &sum = m_entry.checksum;
    m_name->setText(m_entry.name);
    m_format->setCurrentIndex(int(m_entry.format));
    m_content->setText(m_entry.content);
    m_ending->setCurrentIndex(int(m_entry.ending));
    m_checksum->setCurrentIndex(int(sum.algorithm));
    m_start->setValue(sum.start);
    m_end->setValue(sum.end);
    m_position->setValue(sum.position);
    m_form->setCurrentIndex(sum.hexText ? 1 : 0);
    m_order->setCurrentIndex(sum.lowFirst ? 1 : 0);
    m_width->setCurrentText(QString::number(sum.custom.width));
    m_poly->setText(hex(sum.custom.poly, sum.custom.width));
    m_init->setText(hex(sum.custom.init, sum.custom.width));
    m_refIn->setChecked(sum.custom.refIn);
    m_refOut->setChecked(sum.custom.refOut);
    m_xorOut->setText(hex(sum.custom.xorOut, sum.custom.width));
    m_hotkey->setCurrentText(m_entry.hotkey.isEmpty() ? noHotkey : m_entry.hotkey);
    m_delay->setValue(m_entry.delayMs);
    m_loading = false;
    updateEnabled();
    updatePreview();
}

void EntryEditor::read()
{
    if (m_loading)
        return;
    Checksum &sum = m_entry.checksum;
    m_entry.name = m_name->text();
    m_entry.format = Format(m_format->currentIndex());
    m_entry.content = m_content->text();
    m_entry.ending = Ending(m_ending->currentIndex());
    sum.algorithm = Algorithm(m_checksum->currentIndex());
    sum.start = m_start->value();
    sum.end = m_end->value();
    sum.position = m_position->value();
    sum.hexText = m_form->currentIndex() == 1;
    sum.lowFirst = m_order->currentIndex() == 1;
    sum.custom.width = m_width->currentText().toInt();
    const quint32 mask = sum.custom.width == 32 ? 0xFFFFFFFFu : (1u << sum.custom.width) - 1;
    sum.custom.poly = m_poly->text().toUInt(nullptr, 16) & mask;
    sum.custom.init = m_init->text().toUInt(nullptr, 16) & mask;
    sum.custom.refIn = m_refIn->isChecked();
    sum.custom.refOut = m_refOut->isChecked();
    sum.custom.xorOut = m_xorOut->text().toUInt(nullptr, 16) & mask;
    m_entry.delayMs = m_delay->value();
    updateEnabled();
    updatePreview();
    emit edited();
}

void EntryEditor::chooseHotkey()
{
    if (m_loading)
        return;
    const QString key = m_hotkey->currentIndex() == 0 ? QString() : m_hotkey->currentText();
    const QString why = m_hotkeyCheck ? m_hotkeyCheck(key) : QString();
    if (!why.isEmpty()) {
        m_loading = true;
        m_hotkey->setCurrentText(m_entry.hotkey.isEmpty() ? noHotkey : m_entry.hotkey);
        m_loading = false;
        emit refused(why);
        return;
    }
    m_entry.hotkey = key;
    emit edited();
}

void EntryEditor::updateEnabled()
{
    const Checksum &sum = m_entry.checksum;
    const bool any = sum.algorithm != Algorithm::None;
    m_ending->setEnabled(m_entry.format == Format::Text);
    for (QWidget *field : std::initializer_list<QWidget *>{m_start, m_end, m_position, m_form})
        field->setEnabled(any);
    m_order->setEnabled(any && checksumBytes(sum.algorithm, sum.custom) > 1);
    m_custom->setVisible(sum.algorithm == Algorithm::CustomCrc);
}

void EntryEditor::updatePreview()
{
    const Payload frame = buildFrame(m_entry, m_encoding, m_defaultEnding);
    m_preview->setText(previewText(frame));
    m_preview->setStyleSheet(frame.ok() ? QString() : QStringLiteral("color: #c00000"));
}

} // namespace quicksend
