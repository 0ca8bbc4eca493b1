#pragma once

#include <QObject>

namespace Theme {

// Names, notices and error texts come from the server, and a QLabel left at Qt::AutoText renders
// anything that looks like HTML ("<h1>", "<img>", "<a href>") as such: a file or team name could
// pass itself off as something else. Installed on the application, this turns every label still at
// AutoText into plain text when it is first polished; labels that set Qt::RichText keep it.
class PlainLabelFilter final : public QObject
{
    Q_OBJECT
public:
    explicit PlainLabelFilter(QObject *parent = nullptr);

    bool eventFilter(QObject *watched, QEvent *event) override;
};

} // namespace Theme
