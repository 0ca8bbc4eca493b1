#pragma once

#include <functional>

class QDialog;

// Blocking dialogs (Cdlg::info, confirm, getText, QDialog::exec) run a nested event loop, so a test cannot
// act on them after the call returns. answerModal() arranges for action to run on the modal dialog as soon
// as it is up: a zero-interval timer polls for QApplication::activeModalWidget() and fires once.
// Call it right before the blocking call.
void answerModal(std::function<void(QDialog *dialog)> action);
