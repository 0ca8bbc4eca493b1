#pragma once

#include "net/httpresponse.h"

#include <QJsonObject>
#include <QString>

// Reading rules for the file records the server sends. Lists hold records compactly (FileRow)
// and hand them on as the whole QJsonObject that arrived; these helpers are the only way members
// are interpreted (FileRow's own reader agrees with them, see tst_filemodel).

// Numeric members are read with jsonInt64 (net/httpresponse.h), shared with the transfers.

// True exactly when "type" reads as the text "folder" (case-sensitive).
bool isFolderRecord(const QJsonObject &record);
