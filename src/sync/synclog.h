#pragma once

#include <QLoggingCategory>

// What the sync engine plans and what each step gives, off by default:
// QT_LOGGING_RULES="tvr.sync.debug=true" shows it when a round does something unexpected.
Q_DECLARE_LOGGING_CATEGORY(lcSync)
