#pragma once

#include "net/httpresponse.h"

#include <QString>
#include <QStringList>

// Requests of the personal trash. Ids are percent-encoded when they go into a path; callbacks run
// once on the GUI thread (see HttpClient).
namespace Api {

// data: the deleted entries, each a file record with "trash_time".
void listTrash(HttpCallback callback);
// Back into the folder the entry was deleted from.
void restoreTrashItem(const QString &id, HttpCallback callback);
void purgeTrashItem(const QString &id, HttpCallback callback);
void restoreTrashItems(const QStringList &ids, HttpCallback callback);
void purgeTrashItems(const QStringList &ids, HttpCallback callback);

} // namespace Api
