#pragma once

#include "textview/pen.h"

#include <QStringView>
#include <QVarLengthArray>

// The parameters of a CSI sequence, and what SGR (ESC[...m) makes of a pen.
namespace csi {

// Groups split at ';', each split at ':' into numbers; -1 where a number is left out.
using Group = QVarLengthArray<int, 6>;
using Params = QVarLengthArray<Group, 8>;

[[nodiscard]] Params parse(QStringView params);
// The first number of group index, or fallback when it is missing.
[[nodiscard]] int param(QStringView params, int index, int fallback);

// Colours (16, 256 and 24-bit, with ';' or ':'), bold, dim, italic, underline, reverse and
// strike, and their ends. A colour this cannot read ends the sequence's effect there.
void applySgr(Pen &pen, const Params &params);

} // namespace csi
