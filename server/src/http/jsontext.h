#pragma once

#include <QByteArray>
#include <QStringView>

namespace tvr::server {

// Pieces of compact JSON text written straight into a buffer, for answers too large to build
// as QJsonObject trees first (a listing of 100,000 files). The output is the text
// QJsonDocument::toJson(Compact) writes for the same values, so clients see no difference.
namespace JsonText {

// text as a quoted JSON string.
void appendString(QByteArray &out, QStringView text);
// "key": with the key already plain ASCII needing no escapes.
void appendKey(QByteArray &out, const char *key);

} // namespace JsonText

} // namespace tvr::server
