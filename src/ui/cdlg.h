#pragma once

#include <QString>

class QWidget;

// Blocking card dialogs for notices, questions and one-line prompts. Each builds a CardDialog, runs it with
// exec() (a nested event loop: callbacks keep arriving meanwhile) and destroys it before returning.
namespace Cdlg {

// A notice with one button "知道了"; returns however the card is closed.
void info(QWidget *parent, const QString &title, const QString &message);

// True only when the OK button was clicked; cancel, "×" and Esc give false.
bool confirm(QWidget *parent, const QString &title, const QString &message, const QString &okText);

// As confirm, for what cannot be undone: "取消" is the default button and has the focus, so a stray
// Return declines.
bool confirmDestructive(QWidget *parent, const QString &title, const QString &message, const QString &okText);

// One line of input. Returns the text exactly as typed (untrimmed) when accepted, else an empty string;
// *ok (when given) tells whether it was accepted.
QString getText(QWidget *parent, const QString &title, const QString &label, const QString &initialText,
                const QString &okText, bool *ok = nullptr);

} // namespace Cdlg
