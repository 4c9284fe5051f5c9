#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class ReceiveBox;

// The receive box's find bar: a small window beside it that stays open while the user reads.
// Return or F3 finds the next match, Shift+F3 the previous one, wrapping around at the ends; the
// match is selected, so Ctrl+C copies it, and shown.
class FindDialog : public QDialog
{
    Q_OBJECT
public:
    explicit FindDialog(ReceiveBox *box);

    void findNext();
    void findPrevious();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void find(bool forward);

    ReceiveBox *m_box;
    QLineEdit *m_text;
    QCheckBox *m_matchCase;
    QLabel *m_status;
};
