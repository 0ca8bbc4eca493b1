#pragma once

#include <QString>

class QWidget;

// The client's one light theme: the application-wide style sheet and the light look for plain dialogs.
namespace Theme {

// Type-wide rules: fonts, backgrounds, buttons, fields, tables, menus, hidden scroll bars.
QString baseStyleSheet();
// Rules addressed by object name (Primary, GoldBtn, SearchBox, ...); they come after the base rules and so
// win over base rules of equal specificity.
QString extensionStyleSheet();
// Base followed by extension, as installed on the application.
QString globalStyleSheet();

// The sheet that applyLightDialog() sets on a plain dialog.
QString lightDialogStyleSheet();
// Gives a plain dialog (including the framework's own message and file dialogs) the light palette and sheet,
// whatever the system theme.
void applyLightDialog(QWidget *dialog);

} // namespace Theme
