#pragma once

#include <QObject>

namespace Theme {

// Installed on the application: styles every plain QDialog light when it is shown. Translucent dialogs (the
// card dialogs paint themselves) and dialogs with a style sheet of their own are left alone. Never swallows
// an event.
class LightDialogFilter final : public QObject
{
    Q_OBJECT
public:
    explicit LightDialogFilter(QObject *parent = nullptr);

    bool eventFilter(QObject *watched, QEvent *event) override;
};

} // namespace Theme
