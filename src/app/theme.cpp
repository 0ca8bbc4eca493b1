#include "app/theme.h"

#include <QColor>
#include <QPalette>
#include <QWidget>

namespace Theme {

namespace {

// The combo arrow is a CSS triangle: a zero-size box with a grey top border between transparent side
// borders. The sides are written rgba(255,255,255,0) rather than "transparent": the style sheet painter only
// mitres a border corner when the neighbouring edge is not exactly the transparent colour, and without the
// mitre the top border paints as a flat bar.
//
// Type-wide look. Colour vocabulary: navy #1A2A4A / #1f2b46, gold #C9A84C / #b8963f, action blue #1677ff,
// page grey #f5f7fa, borders #d5dbe6 / #eef0f3, muted #8a94a6, danger #d4380d.
const char *const kBaseSheet = R"(
* { font-family: "Microsoft YaHei", "Segoe UI", sans-serif; font-size: 13px; color: #222222; }
QWidget { background: transparent; }
QMainWindow, QDialog { background: #f5f7fa; }

QPushButton {
    background: #ffffff; color: #33415c; border: 1px solid #d5dbe6; border-radius: 6px; padding: 6px 14px;
}
QPushButton:hover { border-color: #1677ff; color: #1677ff; }
QPushButton:pressed { background: #eaf2ff; }
QPushButton:disabled { color: #b6bfcd; border-color: #e6e9ef; background: #f5f6f8; }

QLineEdit, QTextEdit, QPlainTextEdit, QSpinBox, QDoubleSpinBox, QDateEdit, QComboBox {
    background: #ffffff; border: 1px solid #d5dbe6; border-radius: 6px; padding: 6px 8px;
    selection-background-color: #d6e4fb; selection-color: #1f2b46;
}
QLineEdit:focus, QTextEdit:focus, QPlainTextEdit:focus, QSpinBox:focus, QDoubleSpinBox:focus, QDateEdit:focus,
QComboBox:focus, QComboBox:on { border: 1px solid #1677ff; }
QLineEdit:disabled, QTextEdit:disabled, QPlainTextEdit:disabled, QSpinBox:disabled, QDoubleSpinBox:disabled,
QDateEdit:disabled, QComboBox:disabled { background: #f5f6f8; color: #9aa4b2; border-color: #e6e9ef; }
QComboBox::drop-down {
    subcontrol-origin: padding; subcontrol-position: center right; width: 22px; border: none;
}
QComboBox::down-arrow {
    image: none; width: 0px; height: 0px; margin-right: 8px;
    border-left: 4px solid rgba(255,255,255,0); border-right: 4px solid rgba(255,255,255,0);
    border-top: 5px solid #8a94a6;
}
QComboBox QAbstractItemView {
    background: #ffffff; color: #222222; border: 1px solid #d5dbe6; border-radius: 6px; outline: 0px;
    selection-background-color: #d6e4fb; selection-color: #1f2b46;
}

QTableView, QTableWidget {
    background: #ffffff; border: 1px solid #eef0f3;
    selection-background-color: #d6e4fb; selection-color: #1f2b46;
}
QHeaderView::section {
    background: #f3f6fb; color: #33415c; padding: 8px; border: none; border-bottom: 1px solid #e6ecf5;
    font-weight: 600;
}

QLabel { background: transparent; }

QScrollBar:vertical { width: 0px; background: transparent; border: none; }
QScrollBar:horizontal { height: 0px; background: transparent; border: none; }
QScrollBar::handle, QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }
QScrollBar::add-line, QScrollBar::sub-line { width: 0px; height: 0px; border: none; background: transparent; }

QMenu { background: #ffffff; border: 1px solid #e3e7ee; border-radius: 8px; padding: 6px; }
QMenu::item { padding: 6px 26px 6px 10px; border-radius: 6px; color: #33415c; background: transparent; }
QMenu::item:selected { background: #eaf2ff; color: #1677ff; }
QMenu::item:disabled { color: #c0c6d1; }
QMenu::separator { height: 1px; background: #eef0f3; margin: 5px 8px; }

QToolTip { background: #ffffff; color: #33415c; border: 1px solid #d5dbe6; padding: 4px 8px; }
)";

// Rules addressed by object name; set by the pages, the sign-in window and the main window.
const char *const kExtensionSheet = R"(
QFrame#Card { background: #ffffff; border: 1px solid #eef0f3; border-radius: 10px; }
QWidget#SubPage { background: #ffffff; }
QWidget#PsPage { background: #f5f7fa; }
QWidget#PsSub { background: transparent; }
QStackedWidget#PsContent { background: transparent; border: none; }

QPushButton#Primary { background: #1677ff; color: #ffffff; border: none; }
QPushButton#Primary:hover { background: #3c8dff; color: #ffffff; }
QPushButton#Primary:pressed { background: #0f5fd6; }
QPushButton#Primary:disabled { background: #a9c9f5; color: #ffffff; }

QPushButton#Danger { color: #d4380d; border: 1px solid #ffccc7; }
QPushButton#Danger:hover { background: #fff1f0; color: #d4380d; }
QPushButton#Danger:disabled { color: #b6bfcd; border-color: #e6e9ef; background: #f5f6f8; }

QPushButton#GoldBtn {
    background: #C9A84C; color: #1A2A4A; border: 1px solid transparent; border-radius: 6px; font-weight: 600;
    padding: 4px 11px;
}
QPushButton#GoldBtn:hover { background: #b8963f; color: #1A2A4A; }
QPushButton#GoldBtn:pressed { background: #a8862f; }
QPushButton#GoldBtn:disabled { background: #e6e2d2; color: #a9a38f; }

QLabel#Muted { color: #8a94a6; }

QPushButton#Link { color: #1677ff; border: none; background: transparent; padding: 2px 4px; }
QPushButton#Link:hover { color: #0f5fd6; }
QPushButton#Link:disabled { color: #b6bfcd; background: transparent; }

QToolButton#RowIconBtn, QToolButton#RowIconDanger {
    background: transparent; border: none; border-radius: 6px; font-size: 15px; min-width: 28px; min-height: 28px;
}
QToolButton#RowIconBtn { color: #b8963f; }
QToolButton#RowIconBtn:hover { background: #f0f3f9; }
QToolButton#RowIconDanger { color: #d4380d; }
QToolButton#RowIconDanger:hover { background: #fff1f0; }

QFrame#LoginCard { background: #ffffff; border: none; border-radius: 14px; }
QFrame#TopGrad, QFrame#DragBar { background: transparent; border: none; }
QLabel#BrandLogo { background: transparent; }
QLabel#BrandTitle { color: #1A2A4A; font-size: 20px; font-weight: 700; }
QLabel#BrandSlogan { color: #C9A84C; font-size: 13px; font-weight: 600; }
QLabel#FormSub { color: #8a94a6; font-size: 12px; }
QFrame#Field { background: #f5f6f8; border: 1px solid #eef0f3; border-radius: 8px; }
QFrame#Field QLineEdit, QFrame#Field QLineEdit:focus {
    background: transparent; border: none; padding: 0px; font-size: 14px;
}
QLabel#FieldIcon { background: transparent; }
QPushButton#GetCode {
    color: #C9A84C; border: none; background: transparent; font-size: 13px; font-weight: 600; padding: 0px 4px;
}
QPushButton#GetCode:hover { color: #b8923a; }
QPushButton#GetCode:disabled { color: #b6bfcd; background: transparent; }
QPushButton#BigGold {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #DCBB54, stop:1 #C9A227);
    color: #ffffff; border: none; border-radius: 8px; font-size: 16px; font-weight: 700;
}
QPushButton#BigGold:hover {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #E4C662, stop:1 #D2AC30); color: #ffffff;
}
QPushButton#BigGold:pressed { background: #B98F1F; }
QPushButton#BigGold:disabled { background: #e3d6ad; color: #ffffff; }
QCheckBox#Agree { font-size: 12px; color: #6b7686; spacing: 6px; }
QCheckBox#Agree::indicator {
    width: 16px; height: 16px; border: 1px solid #b3bccb; border-radius: 4px; background: #ffffff;
}
QCheckBox#Agree::indicator:hover { border-color: #C9A84C; }
QCheckBox#Agree::indicator:checked { border-color: #C9A84C; image: url(:/resources/check-gold.png); }
QLabel#AgreeLink { color: #8a94a6; font-size: 12px; }

QFrame#MailSide {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #e9f2ff, stop:1 #e6f0ff);
    border: none; border-right: 1px solid #eef0f4;
}
QLabel#SideLogoT1 { color: #1A2A4A; font-size: 15px; font-weight: 700; }
QLabel#SideLogoT2 { color: rgba(26,42,74,0.55); font-size: 11px; }
QPushButton#SideFootItem {
    text-align: left; background: transparent; border: none; border-left: 3px solid transparent;
    border-radius: 8px; color: rgba(26,42,74,0.75); padding: 6px 12px; font-size: 14px;
}
QPushButton#SideFootItem:hover { background: rgba(255,255,255,0.65); color: #1A2A4A; }
QPushButton#SideFootItem:checked {
    background: rgba(201,168,76,0.18); color: #1A2A4A; font-weight: 600; border-left: 3px solid #C9A84C;
}
QLabel#UserQuota { color: rgba(26,42,74,0.55); font-size: 11px; }
QProgressBar#QuotaBar {
    min-height: 6px; max-height: 6px; background: rgba(26,42,74,0.08); border: none; border-radius: 4px;
}
QProgressBar#QuotaBar::chunk { background: #C9A84C; border-radius: 4px; }
QPushButton#LogoutBtn {
    background: transparent; border: 1px solid rgba(26,42,74,0.15); border-radius: 6px; color: #1A2A4A;
    font-size: 13px; padding: 8px 12px;
}
QPushButton#LogoutBtn:hover { border-color: #C9A84C; color: #b8963f; background: transparent; }
QFrame#MailHeader { background: #ffffff; border: none; }
QLineEdit#SearchBox {
    background: #f5f5f5; border: 1px solid #f5f5f5; border-radius: 16px; padding: 7px 14px;
}
QLineEdit#SearchBox:focus { border: 1px solid #C9A84C; background: #ffffff; }
QLabel#HeaderAvatar {
    min-width: 28px; max-width: 28px; min-height: 28px; max-height: 28px; border-radius: 14px;
    background: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 #C9A84C, stop:1 #b8963f);
    color: #1A2A4A; font-size: 13px; font-weight: 700;
}
QLabel#HeaderName { color: #333333; font-size: 14px; font-weight: 500; }
QPushButton#Bell { background: transparent; border: none; border-radius: 8px; }
QPushButton#Bell:hover { background: rgba(26,42,74,0.06); }
QPushButton#Bell:pressed { background: rgba(26,42,74,0.10); }

/* Where the keyboard is: every control that takes focus shows it. */
QPushButton:focus { border-color: #1677ff; }
QPushButton#GoldBtn:focus { border: 1px solid #1A2A4A; }
QPushButton#Danger:focus { border-color: #d4380d; }
QPushButton#Link:focus, QPushButton#GetCode:focus { text-decoration: underline; }
QPushButton#SideFootItem:focus { background: rgba(255,255,255,0.9); color: #1A2A4A; text-decoration: underline; }
QPushButton#LogoutBtn:focus { border-color: #C9A84C; }
QPushButton#Bell:focus { background: rgba(26,42,74,0.10); }
QToolButton#RowIconBtn:focus, QToolButton#RowIconDanger:focus { background: #e6eefc; }
QCheckBox:focus { color: #1677ff; }
)";

const char *const kLightDialogSheet = R"(
QDialog, QMessageBox { background: #f5f7fa; }
QLabel { background: transparent; color: #222222; }
QLineEdit, QComboBox, QTextEdit, QPlainTextEdit, QSpinBox, QDateEdit {
    background: #ffffff; color: #222222; border: 1px solid #d5dbe6; border-radius: 6px; padding: 6px 8px;
}
QLineEdit:focus, QComboBox:focus, QTextEdit:focus { border: 1px solid #1677ff; }
QLineEdit:disabled, QComboBox:disabled, QTextEdit:disabled, QPlainTextEdit:disabled, QSpinBox:disabled,
QDateEdit:disabled { background: #f5f6f8; color: #9aa4b2; border-color: #e6e9ef; }
QComboBox::drop-down { subcontrol-origin: padding; subcontrol-position: center right; width: 22px; border: none; }
QComboBox::down-arrow {
    image: none; width: 0px; height: 0px; margin-right: 8px;
    border-left: 4px solid rgba(255,255,255,0); border-right: 4px solid rgba(255,255,255,0);
    border-top: 5px solid #8a94a6;
}
QComboBox QAbstractItemView {
    background: #ffffff; color: #222222; border: 1px solid #d5dbe6;
    selection-background-color: #d6e4fb; selection-color: #1f2b46;
}
QPushButton {
    background: #ffffff; color: #33415c; border: 1px solid #d5dbe6; border-radius: 6px; padding: 6px 14px;
}
QPushButton:hover { border-color: #1677ff; color: #1677ff; }
QPushButton:pressed { background: #eaf2ff; }
QPushButton:disabled { color: #b6bfcd; border-color: #e6e9ef; background: #f5f6f8; }
QPushButton#GoldBtn { background: #C9A84C; color: #1A2A4A; border: none; font-weight: 600; }
QPushButton#GoldBtn:hover { background: #b8963f; }
QCheckBox { background: transparent; color: #222222; }
QAbstractItemView { background: #ffffff; color: #222222; }
)";

} // namespace

QString baseStyleSheet()
{
    return QString::fromLatin1(kBaseSheet);
}

QString extensionStyleSheet()
{
    return QString::fromLatin1(kExtensionSheet);
}

QString globalStyleSheet()
{
    return baseStyleSheet() + extensionStyleSheet();
}

QString lightDialogStyleSheet()
{
    return QString::fromLatin1(kLightDialogSheet);
}

void applyLightDialog(QWidget *dialog)
{
    if (!dialog)
        return;
    QPalette pal = dialog->palette();
    const struct
    {
        QPalette::ColorRole role;
        QColor color;
    } roles[] = {
        {QPalette::Window, QColor(0xf5, 0xf7, 0xfa)},
        {QPalette::Base, QColor(0xff, 0xff, 0xff)},
        {QPalette::Text, QColor(0x22, 0x22, 0x22)},
        {QPalette::WindowText, QColor(0x22, 0x22, 0x22)},
        {QPalette::ButtonText, QColor(0x33, 0x41, 0x5c)},
        {QPalette::Button, QColor(0xff, 0xff, 0xff)},
        {QPalette::Highlight, QColor(0x16, 0x77, 0xff)},
        {QPalette::HighlightedText, QColor(0xff, 0xff, 0xff)},
        {QPalette::PlaceholderText, QColor(0x9a, 0xa4, 0xb2)},
    };
    for (const auto &entry : roles)
        pal.setColor(QPalette::All, entry.role, entry.color);
    dialog->setPalette(pal);
    dialog->setStyleSheet(lightDialogStyleSheet());
}

} // namespace Theme
