#include "ui/cardstyle.h"

#include <array>
#include <utility>

namespace Cdlg {

namespace {

// The card palette. FIELD is the only colour with transparency and is written as rgba().
const std::array<std::pair<const char *, QColor>, 26> &cardPalette()
{
    static const std::array<std::pair<const char *, QColor>, 26> palette{{
        {"NAVY", QColor(0x1a, 0x2a, 0x4a)},        {"GOLD", QColor(0xc9, 0xa8, 0x4c)},
        {"GOLDTEXT", QColor(0xb8, 0x96, 0x3f)},    {"GOLDTINT", QColor(0xfd, 0xfb, 0xf5)},
        {"OKTOP", QColor(0xea, 0xd0, 0x8a)},       {"OKMID", QColor(0xcb, 0xaa, 0x50)},
        {"OKBOT", QColor(0xb4, 0x90, 0x3b)},       {"OKHTOP", QColor(0xf0, 0xd8, 0x93)},
        {"OKHMID", QColor(0xd6, 0xb6, 0x5c)},      {"OKHBOT", QColor(0xc0, 0x98, 0x3f)},
        {"OKPRESS", QColor(0xa8, 0x86, 0x2f)},     {"BODY", QColor(0x33, 0x41, 0x5c)},
        {"GOLDHI", QColor(0xef, 0xda, 0x9e)},      {"FIELD", QColor(26, 42, 74, qRound(0.78 * 255))},
        {"CLOSE", QColor(0xa7, 0xb0, 0xbf)},       {"CLOSEHOV", QColor(0xee, 0xf2, 0xf8)},
        {"FOOTLINE", QColor(0xed, 0xf0, 0xf6)},    {"CANCELBORDER", QColor(0xdd, 0xe3, 0xec)},
        {"CANCELPRESS", QColor(0xf2, 0xf4, 0xf9)}, {"INPUTBG", QColor(0xf6, 0xf7, 0xfa)},
        {"INPUTBORDER", QColor(0xe9, 0xed, 0xf3)}, {"INPUTHOV", QColor(0xd7, 0xde, 0xea)},
        {"INPUTTEXT", QColor(0x22, 0x30, 0x44)},   {"WHITE", QColor(0xff, 0xff, 0xff)},
        {"PROGGROOVE", QColor(0xee, 0xf2, 0xf8)},  {"GOLDDARK", QColor(0xa9, 0x86, 0x2e)},
    }};
    return palette;
}

const char *const kTemplate = R"(
QDialog#CardDlg { background: transparent; }
QWidget#cdBodyWrap { background: transparent; border: none; }
QLabel#cdTitle { color: @NAVY@; font-size: 18px; font-weight: 700; background: transparent; border: none; }
QFrame#cdHeader { background: transparent; border: none; }
QFrame#cdFooter { background: transparent; border: none; border-top: 1px solid @FOOTLINE@; }
QPushButton#cdClose {
    color: @CLOSE@; background: transparent; border: none; border-radius: 15px;
    padding: 0px; margin: 0px; text-align: center;
}
QPushButton#cdClose:hover { background: @CLOSEHOV@; color: @NAVY@; }
QPushButton#cdCancel {
    background: @WHITE@; color: @BODY@; border: 1px solid @CANCELBORDER@; border-radius: 10px;
    padding: 0px 22px; font-size: 14px;
}
QPushButton#cdCancel:hover { border-color: @GOLD@; color: @GOLDTEXT@; background: @GOLDTINT@; }
QPushButton#cdCancel:pressed { background: @CANCELPRESS@; }
QPushButton#cdCancel:focus { border: 2px solid @NAVY@; }
QPushButton#cdOk {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 @OKTOP@, stop:0.45 @OKMID@, stop:1 @OKBOT@);
    color: @NAVY@; border: none; border-radius: 10px; padding: 0px 22px; font-size: 14px; font-weight: 700;
}
QPushButton#cdOk:hover {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 @OKHTOP@, stop:0.45 @OKHMID@, stop:1 @OKHBOT@);
}
QPushButton#cdOk:pressed { background: @OKPRESS@; }
QPushButton#cdOk:focus { border: 2px solid @NAVY@; }
QLabel#cdMsg { color: @BODY@; font-size: 14px; background: transparent; }
QLabel#cdFieldLabel { color: @FIELD@; font-size: 13px; background: transparent; }
QLineEdit#cdInput {
    background: @INPUTBG@; border: 1px solid @INPUTBORDER@; border-radius: 10px; padding: 10px 13px;
    color: @INPUTTEXT@; font-size: 14px; selection-background-color: @GOLD@; selection-color: @WHITE@;
}
QLineEdit#cdInput:hover { border: 1px solid @INPUTHOV@; }
QLineEdit#cdInput:focus { border: 1px solid @GOLD@; background: @WHITE@; }
QProgressBar#cdProgress {
    background: @PROGGROOVE@; border: none; border-radius: 7px; min-height: 14px;
    font-size: 11px; font-weight: 600; color: @NAVY@;
}
QProgressBar#cdProgress::chunk {
    border-radius: 7px;
    background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 @GOLDHI@, stop:0.55 @GOLD@, stop:1 @GOLDDARK@);
}
)";

} // namespace

QString rgbaCss(const QColor &color)
{
    return QStringLiteral("rgba(%1,%2,%3,%4)")
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(QString::number(color.alphaF(), 'f', 2));
}

QString cardStyleSheet()
{
    // Every card dialog sets this sheet; build it once.
    static const QString sheet = [] {
        QString text = QString::fromLatin1(kTemplate);
        for (const auto &[name, color] : cardPalette()) {
            const QString key = QLatin1Char('@') + QLatin1String(name) + QLatin1Char('@');
            const QString value = qstrcmp(name, "FIELD") == 0 ? rgbaCss(color) : color.name();
            text.replace(key, value);
        }
        return text;
    }();
    return sheet;
}

} // namespace Cdlg
