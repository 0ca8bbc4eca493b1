#pragma once

#include "net/httpresponse.h"

#include <QJsonObject>
#include <QString>

// Reading rules for the file records the server sends. Records are kept as the QJsonObject
// that arrived; these helpers are the only way members are interpreted.

// Numeric members are read with jsonInt64 (net/httpresponse.h), shared with the transfers.

// True exactly when "type" reads as the text "folder" (case-sensitive).
bool isFolderRecord(const QJsonObject &record);
