#pragma once

#include <QString>

class QToolButton;
class QWidget;

// A small text button of a table row's command cell ("✎", "🗑", "↺"), looked up and styled by objectName.
QToolButton *makeRowButton(const QString &text, const QString &tip, const char *objectName, QWidget *parent);
