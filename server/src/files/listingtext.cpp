#include "files/listingtext.h"

#include "http/chunkedtext.h"
#include "http/jsontext.h"
#include "storage/rawrow.h"

#include <cstring>
#include <string_view>

namespace tvr::server {

namespace {

enum Column {
    Id,
    OwnerId,
    TeamId,
    ParentId,
    Name,
    Type,
    MimeType,
    Category,
    Size,
    BlobHash,
    Md5,
    CreatedAt,
    UpdatedAt,
    TrashedAt,
    TrashRoot
};

} // namespace

void ListingText::appendRecord(ChunkedText &out, const RawRow &row)
{
    const bool folder = row.text(Type) == QByteArrayView("folder");
    const qint64 teamId = row.integer(TeamId);
    const qint64 parentId = row.integer(ParentId);
    const QByteArrayView name = row.text(Name);
    const QByteArrayView mimeType = row.text(MimeType);
    const QByteArrayView category = folder ? QByteArrayView() : row.text(Category);
    const QByteArrayView md5 = row.text(Md5);
    const QByteArrayView createdAt = row.text(CreatedAt);
    const QByteArrayView updatedAt = row.text(UpdatedAt);
    const QByteArrayView trashedAt = row.text(TrashedAt);
    // The most this record can take: the keys and punctuation (under 200 bytes), five numbers and
    // seven quoted texts.
    constexpr qsizetype Fixed = 256 + 5 * JsonText::MaxNumberLength + 7 * 2;
    const qsizetype texts = name.size() + mimeType.size() + category.size() + md5.size() + createdAt.size() +
                            updatedAt.size() + trashedAt.size();
    char *to = out.reserve(size_t(Fixed + JsonText::maxUtf8StringLength(texts)));
    const auto raw = [&to](std::string_view text) {
        std::memcpy(to, text.data(), text.size());
        to += text.size();
    };
    const auto number = [&](std::string_view key, qint64 value) {
        raw(key);
        to = JsonText::writeNumber(to, value);
        *to++ = ',';
    };
    const auto text = [&](std::string_view key, QByteArrayView value) {
        raw(key);
        to = JsonText::writeUtf8String(to, value);
        *to++ = ',';
    };
    // The members of FileEntry::toJson() in the order QJsonObject keeps them (by key).
    *to++ = '{';
    text(R"("category":)", category);
    text(R"("created_at":)", createdAt);
    number(R"("id":)", row.integer(Id));
    if (!folder)
        text(R"("md5":)", md5);
    text(R"("mime_type":)", mimeType);
    text(R"("name":)", name);
    if (teamId > 0)
        number(R"("owner_id":)", row.integer(OwnerId));
    if (parentId > 0)
        number(R"("parent_id":)", parentId);
    else
        raw(R"("parent_id":null,)");
    number(R"("size":)", folder ? 0 : row.integer(Size));
    if (teamId > 0)
        number(R"("team_id":)", teamId);
    if (!trashedAt.isEmpty())
        text(R"("trash_time":)", trashedAt);
    raw(folder ? R"("type":"folder",)" : R"("type":"file",)");
    raw(R"("updated_at":)");
    to = JsonText::writeUtf8String(to, updatedAt);
    *to++ = '}';
    out.commit(to);
}

FileEntry ListingText::entry(const QVariantList &r)
{
    FileEntry e;
    e.id = r.value(Id).toLongLong();
    e.ownerId = r.value(OwnerId).toLongLong();
    e.teamId = r.value(TeamId).toLongLong();
    e.parentId = r.value(ParentId).toLongLong();
    e.name = r.value(Name).toString();
    e.isFolder = r.value(Type).toString() == QLatin1String("folder");
    e.mimeType = r.value(MimeType).toString();
    e.category = r.value(Category).toString();
    e.size = r.value(Size).toLongLong();
    e.blobHash = r.value(BlobHash).toString();
    e.md5 = r.value(Md5).toString();
    e.createdAt = r.value(CreatedAt).toString();
    e.updatedAt = r.value(UpdatedAt).toString();
    e.trashedAt = r.value(TrashedAt).toString();
    e.trashRoot = r.value(TrashRoot).toLongLong();
    return e;
}

} // namespace tvr::server
