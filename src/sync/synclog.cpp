#include "sync/synclog.h"

Q_LOGGING_CATEGORY(lcSync, "tvr.sync", QtWarningMsg)
