#pragma once

#include "files/fileentry.h"

#include <QVariantList>

namespace tvr::server {

class ChunkedText;
class RawRow;

// File records written as compact JSON straight from result rows, for listings of many entries:
// no QVariant, FileEntry or QJsonObject per row, the text bytes copied as the database keeps
// them. The rows carry the file tree's columns in this order: id, owner_id, team_id (0 for
// none), parent_id (0), name, type, mime_type, category, size, blob_hash, md5, created_at,
// updated_at, trashed_at (''), trash_root (0). The text is byte for byte what
// QJsonDocument::toJson(Compact) writes for entry(row).toJson().
class ListingText final
{
public:
    static void appendRecord(ChunkedText &out, const RawRow &row);
    // The same row read through QVariants into a FileEntry.
    static FileEntry entry(const QVariantList &row);
};

} // namespace tvr::server
