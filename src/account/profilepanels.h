#pragma once

#include <QString>

class QFrame;
class QLabel;
class QVBoxLayout;
class QWidget;

// Building blocks shared by the personal centre's sub-pages.
namespace pfp {

// A white rounded panel; with a title, its first rows are the gold accent, the title and a rule.
// *layout receives the panel's own layout.
QFrame *panel(QWidget *parent, const QString &title, QVBoxLayout **layout);
// "■  heading" in navy with a gold square.
QLabel *sectionHeading(const QString &text, QWidget *parent);
// The update sub-page's plainer heading.
QLabel *plainHeading(const QString &text, QWidget *parent);
// A word-wrapped paragraph in colour at pixelSize.
QLabel *paragraph(const QString &text, const QString &colour, int pixelSize, QWidget *parent);
// A label with a style sheet.
QLabel *styledLabel(const QString &text, const QString &style, QWidget *parent);
// A 1-pixel horizontal rule.
QFrame *rule(const QString &style, QWidget *parent);

} // namespace pfp
