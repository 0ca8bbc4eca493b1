#pragma once

#include <QString>

namespace tvr::server {

// The rules every name a client gives (files, folders, teams, accounts, vault files) follows:
// it is stored trimmed and in Unicode NFC, so one name has one form ("café" composed and
// decomposed are the same name), and it may not contain characters that make it display as
// something else: bidirectional embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069, and the marks U+200E, U+200F, U+061C) or invisible zero-width characters
// (U+200B-U+200D, U+2060-U+2064, U+FEFF). A zero-width joiner between two emoji is the one
// exception: it makes them one picture (👨‍👩‍👧).
class Names final
{
public:
    // Trimmed and in NFC.
    static QString normalized(const QString &name);
    // True when the name holds a character that hides or reorders what is displayed.
    static bool hasDeceptiveCharacters(const QString &name);
    // True when the name holds a control character (U+0000-U+001F, U+007F-U+009F and the like).
    static bool hasControlCharacters(const QString &name);
};

} // namespace tvr::server
