#pragma once

#include <QByteArray>
#include <QList>
#include <utility>

// Qt's file dialog writes dates and sizes in the system locale, which Qt reads from the
// environment (LC_ALL, LC_TIME, LC_MESSAGES, LANG) once, while the application object is built;
// QLocale::setDefault does not reach it. Held around the construction of QApplication, this
// makes that locale zh_CN for this process; its destructor gives the environment (and the C
// library's locale) back, so programs the client starts see the user's own settings.
class ChineseSystemLocale final
{
public:
    ChineseSystemLocale();
    ~ChineseSystemLocale();
    ChineseSystemLocale(const ChineseSystemLocale &) = delete;
    ChineseSystemLocale &operator=(const ChineseSystemLocale &) = delete;

    static constexpr char Locale[] = "zh_CN.UTF-8";

private:
    QList<std::pair<QByteArray, QByteArray>> m_saved; // name, value; an empty value was unset
    QList<QByteArray> m_unset;
};
