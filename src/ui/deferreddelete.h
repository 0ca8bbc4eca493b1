#pragma once

class QWidget;

// Card dialogs run nested event loops on their caller's stack, as children of the widget that asked.
// Deleting that widget while one runs frees the dialog under the caller (an abort, a stack object
// freed). deleteWhenDialogsClose() takes such a widget out of sight at once and deletes it only when
// none of its dialogs is open any more; without any it is simply deleted later.
void deleteWhenDialogsClose(QWidget *widget);
