#include "textview/box_keys.h"

#include <QKeyEvent>

namespace {

constexpr BoxKey move(CaretStep step, bool forward, bool select = false)
{
    return {BoxKey::Move, step, forward, select, 0};
}

constexpr BoxKey act(BoxKey::Kind kind, CaretStep step = CaretStep::Char, bool forward = false)
{
    return {kind, step, forward, false, 0};
}

bool isTextInput(const QKeyEvent *e)
{
    const QString text = e->text();
    if (text.isEmpty())
        return false;
    // Ctrl with a key is a command; Ctrl together with Alt is AltGr on Windows keyboards.
    const Qt::KeyboardModifiers mods = e->modifiers();
    if ((mods & Qt::ControlModifier) && !(mods & Qt::AltModifier))
        return false;
    return std::none_of(text.begin(), text.end(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}

// Ctrl+Plus (or Ctrl+=, the same key unshifted), Ctrl+Minus and Ctrl+0.
bool zoomKey(const QKeyEvent *e, int &zoom)
{
    if (!(e->modifiers() & Qt::ControlModifier))
        return false;
    switch (e->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoom = 1;
        return true;
    case Qt::Key_Minus:
        zoom = -1;
        return true;
    case Qt::Key_0:
        zoom = 0;
        return true;
    default:
        return false;
    }
}

} // namespace

// In the order they are tried: the word deletions before Delete and Backspace, which some
// platforms also bind with a modifier.
const BoxKeyBinding boxKeyBindings[] = {
    {QKeySequence::MoveToNextChar, move(CaretStep::Char, true)},
    {QKeySequence::MoveToPreviousChar, move(CaretStep::Char, false)},
    {QKeySequence::MoveToNextWord, move(CaretStep::Word, true)},
    {QKeySequence::MoveToPreviousWord, move(CaretStep::Word, false)},
    {QKeySequence::MoveToNextLine, move(CaretStep::Line, true)},
    {QKeySequence::MoveToPreviousLine, move(CaretStep::Line, false)},
    {QKeySequence::MoveToNextPage, move(CaretStep::Page, true)},
    {QKeySequence::MoveToPreviousPage, move(CaretStep::Page, false)},
    {QKeySequence::MoveToStartOfLine, move(CaretStep::LineEdge, false)},
    {QKeySequence::MoveToEndOfLine, move(CaretStep::LineEdge, true)},
    {QKeySequence::MoveToStartOfDocument, move(CaretStep::Document, false)},
    {QKeySequence::MoveToEndOfDocument, move(CaretStep::Document, true)},
    {QKeySequence::SelectNextChar, move(CaretStep::Char, true, true)},
    {QKeySequence::SelectPreviousChar, move(CaretStep::Char, false, true)},
    {QKeySequence::SelectNextWord, move(CaretStep::Word, true, true)},
    {QKeySequence::SelectPreviousWord, move(CaretStep::Word, false, true)},
    {QKeySequence::SelectNextLine, move(CaretStep::Line, true, true)},
    {QKeySequence::SelectPreviousLine, move(CaretStep::Line, false, true)},
    {QKeySequence::SelectNextPage, move(CaretStep::Page, true, true)},
    {QKeySequence::SelectPreviousPage, move(CaretStep::Page, false, true)},
    {QKeySequence::SelectStartOfLine, move(CaretStep::LineEdge, false, true)},
    {QKeySequence::SelectEndOfLine, move(CaretStep::LineEdge, true, true)},
    {QKeySequence::SelectStartOfDocument, move(CaretStep::Document, false, true)},
    {QKeySequence::SelectEndOfDocument, move(CaretStep::Document, true, true)},
    {QKeySequence::Find, act(BoxKey::Find)},
    {QKeySequence::SelectAll, act(BoxKey::SelectAll)},
    {QKeySequence::Copy, act(BoxKey::Copy)},
    {QKeySequence::Cut, act(BoxKey::Cut)},
    {QKeySequence::Paste, act(BoxKey::Paste)},
    {QKeySequence::DeleteEndOfWord, act(BoxKey::Delete, CaretStep::Word, true)},
    {QKeySequence::DeleteStartOfWord, act(BoxKey::Delete, CaretStep::Word, false)},
    {QKeySequence::Delete, act(BoxKey::Delete, CaretStep::Char, true)},
    {QKeySequence::Backspace, act(BoxKey::Delete, CaretStep::Char, false)},
    {QKeySequence::InsertParagraphSeparator, act(BoxKey::InsertBreak)},
    {QKeySequence::InsertLineSeparator, act(BoxKey::InsertBreak)},
};

BoxKey boxKey(const QKeyEvent *e)
{
    for (const BoxKeyBinding &binding : boxKeyBindings) {
        if (e->matches(binding.key))
            return binding.action;
    }
    // Ctrl+F2 sets or clears a bookmark, F2 and Shift+F2 go to the next and previous one.
    if (e->key() == Qt::Key_F2) {
        const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
        if (mods == Qt::ControlModifier)
            return act(BoxKey::ToggleBookmark);
        if (mods == Qt::NoModifier || mods == Qt::ShiftModifier)
            return act(BoxKey::GoToBookmark, CaretStep::Char, mods == Qt::NoModifier);
    }
    BoxKey zoom = act(BoxKey::Zoom);
    if (zoomKey(e, zoom.zoom))
        return zoom;
    // Shift+Backspace and the like, which no standard key names.
    if (e->key() == Qt::Key_Backspace && !(e->modifiers() & Qt::ControlModifier))
        return act(BoxKey::Delete, CaretStep::Char, false);
    if (isTextInput(e))
        return act(BoxKey::InsertText);
    return {};
}
