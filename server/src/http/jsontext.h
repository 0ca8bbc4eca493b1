#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringView>
#include <string>

namespace tvr::server {

// Pieces of compact JSON text written straight into a buffer, for answers too large to build
// as QJsonObject trees first (a listing of 100,000 files). The output is the text
// QJsonDocument::toJson(Compact) writes for the same values, so clients see no difference.
namespace JsonText {

// text as a quoted JSON string.
void appendString(QByteArray &out, QStringView text);
// "key": with the key already plain ASCII needing no escapes.
void appendKey(QByteArray &out, const char *key);

// The same text as appendString() writes for QString::fromUtf8(utf8), written from the UTF-8
// bytes themselves (a database's text) without decoding them, at `to`, which has room for
// maxUtf8StringLength(utf8.size()) bytes; returns the end. Invalid UTF-8 takes the decoding way,
// so that it is replaced exactly as there.
char *writeUtf8String(char *to, QByteArrayView utf8);
void appendUtf8String(std::string &out, QByteArrayView utf8);
// Quotes, and every byte at most as \u00XX (a replaced invalid byte takes three).
constexpr qsizetype maxUtf8StringLength(qsizetype bytes)
{
    return 6 * bytes + 2;
}
// A whole number in decimal, as QByteArray::number() writes it, into room for MaxNumberLength.
constexpr int MaxNumberLength = 20;
char *writeNumber(char *to, qint64 value);

} // namespace JsonText

} // namespace tvr::server
