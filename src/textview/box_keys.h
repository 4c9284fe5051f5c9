#pragma once

#include "textview/caret_moves.h"

#include <QKeySequence>

class QKeyEvent;

// What a key press asks of the receive box. The box acts on it and claims from the window's
// shortcuts exactly the keys that ask for something, so no key it handles fires a shortcut.
struct BoxKey
{
    enum Kind {
        None,
        Move, // step and forward; select extends the selection
        Find,
        Zoom, // zoom: a step of the font size, or 0 for the designed size
        SelectAll,
        Copy,
        Cut,
        Paste,
        Delete, // step (Char or Word) and forward
        InsertBreak,
        InsertText,     // the event's text
        ToggleBookmark, // on the caret's line
        GoToBookmark,   // forward to the next, or back to the previous
    };
    Kind kind = None;
    CaretStep step = CaretStep::Char;
    bool forward = false;
    bool select = false;
    int zoom = 0;
};

// The box's standard keys, each with what it asks.
struct BoxKeyBinding
{
    QKeySequence::StandardKey key;
    BoxKey action;
};
extern const BoxKeyBinding boxKeyBindings[35];

[[nodiscard]] BoxKey boxKey(const QKeyEvent *e);
