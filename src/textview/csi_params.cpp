#include "textview/csi_params.h"

namespace csi {

namespace {

// Parameters past this are as good as infinite, and cannot overflow.
constexpr int MaxParam = 99999;

bool isByte(int v)
{
    return v >= 0 && v <= 255;
}

} // namespace

Params parse(QStringView params)
{
    Params groups;
    groups.append(Group{-1});
    for (const QChar ch : params) {
        const char16_t c = ch.unicode();
        if (c == u';') {
            groups.append(Group{-1});
        } else if (c == u':') {
            groups.last().append(-1);
        } else if (c >= u'0' && c <= u'9') {
            int &v = groups.last().last();
            v = qMin(MaxParam, (v < 0 ? 0 : v) * 10 + (c - u'0'));
        }
    }
    return groups;
}

int param(QStringView params, int index, int fallback)
{
    const Params groups = parse(params);
    if (index >= groups.size() || groups[index][0] < 0)
        return fallback;
    return groups[index][0];
}

void applySgr(Pen &pen, const Params &groups)
{
    for (qsizetype g = 0; g < groups.size(); ++g) {
        const Group &sub = groups[g];
        const int v = qMax(0, sub[0]);
        if (v >= 30 && v <= 37) {
            pen.fg = Pen::indexed(v - 30);
        } else if (v >= 40 && v <= 47) {
            pen.bg = Pen::indexed(v - 40);
        } else if (v >= 90 && v <= 97) {
            pen.fg = Pen::indexed(v - 90 + 8);
        } else if (v >= 100 && v <= 107) {
            pen.bg = Pen::indexed(v - 100 + 8);
        } else if (v == 38 || v == 48 || v == 58) {
            // 38;5;n and 38;2;r;g;b, or with colons 38:5:n, 38:2:r:g:b and 38:2:id:r:g:b.
            quint32 colour = 0;
            bool found = false;
            if (sub.size() > 1) {
                if (sub[1] == 5 && sub.size() >= 3 && isByte(sub[2])) {
                    colour = Pen::indexed(sub[2]);
                    found = true;
                } else if (sub[1] == 2 && sub.size() >= 5) {
                    const qsizetype first = sub.size() >= 6 ? 3 : 2;
                    const int r = qMax(0, sub[first]);
                    const int gr = qMax(0, sub[first + 1]);
                    const int b = qMax(0, sub[first + 2]);
                    if (isByte(r) && isByte(gr) && isByte(b)) {
                        colour = Pen::rgb(r, gr, b);
                        found = true;
                    }
                }
            } else if (g + 1 < groups.size()) {
                const int mode = groups[g + 1][0];
                if (mode == 5 && g + 2 < groups.size()) {
                    const int index = groups[g + 2][0];
                    if (isByte(index)) {
                        colour = Pen::indexed(index);
                        found = true;
                    }
                    g += 2;
                } else if (mode == 2 && g + 4 < groups.size()) {
                    const int r = qMax(0, groups[g + 2][0]);
                    const int gr = qMax(0, groups[g + 3][0]);
                    const int b = qMax(0, groups[g + 4][0]);
                    if (isByte(r) && isByte(gr) && isByte(b)) {
                        colour = Pen::rgb(r, gr, b);
                        found = true;
                    }
                    g += 4;
                } else {
                    // A colour this parser cannot read: the rest is not to be trusted.
                    return;
                }
            }
            if (found && v == 38)
                pen.fg = colour;
            else if (found && v == 48)
                pen.bg = colour;
        } else {
            switch (v) {
            case 0:
                pen = Pen();
                break;
            case 1:
                pen.attrs |= Pen::Bold;
                break;
            case 2:
                pen.attrs |= Pen::Dim;
                break;
            case 3:
                pen.attrs |= Pen::Italic;
                break;
            case 4:
                // 4:0 is "no underline"; 4:1 to 4:5 are kinds of underline.
                if (sub.size() > 1 && sub[1] == 0)
                    pen.attrs &= ~Pen::Underline;
                else
                    pen.attrs |= Pen::Underline;
                break;
            case 7:
                pen.attrs |= Pen::Reverse;
                break;
            case 9:
                pen.attrs |= Pen::Strike;
                break;
            case 21:
                pen.attrs |= Pen::Underline;
                break;
            case 22:
                pen.attrs &= ~(Pen::Bold | Pen::Dim);
                break;
            case 23:
                pen.attrs &= ~Pen::Italic;
                break;
            case 24:
                pen.attrs &= ~Pen::Underline;
                break;
            case 27:
                pen.attrs &= ~Pen::Reverse;
                break;
            case 29:
                pen.attrs &= ~Pen::Strike;
                break;
            case 39:
                pen.fg = Pen::Default;
                break;
            case 49:
                pen.bg = Pen::Default;
                break;
            default:
                // Blinking, hidden text, fonts: nothing the box shows.
                break;
            }
        }
    }
}

} // namespace csi
