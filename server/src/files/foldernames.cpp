#include "files/foldernames.h"

#include "core/servercontext.h"

namespace tvr::server {

namespace {

// "report.pdf" -> ("report", ".pdf"); folders and names like ".profile" keep no extension.
std::pair<QString, QString> splitName(const QString &name, bool isFolder)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (isFolder || dot <= 0)
        return {name, QString()};
    return {name.left(dot), name.mid(dot)};
}

} // namespace

QString FolderNames::fold(const QString &name)
{
    QString out = name;
    for (QChar &c : out) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return out;
}

FolderNames FolderNames::load(ServerContext &ctx, const FileSpace &space, qint64 parentId)
{
    FolderNames names;
    for (const auto &row : ctx.db.query("SELECT lower(name) FROM files WHERE COALESCE(team_id, -owner_id) = ?1 "
                                        "AND COALESCE(parent_id, 0) = ?2 AND trash_root IS NULL",
                                        {spaceKey(space), parentId}))
        names.m_taken.insert(row.value(0).toString());
    return names;
}

FolderNames FolderNames::loadFor(ServerContext &ctx, const FileSpace &space, qint64 parentId, const QString &name,
                                 bool isFolder, qint64 ignoreId)
{
    FolderNames names;
    // Every candidate starts with the stem, so a range of the index holds all that can clash;
    // U+10FFFF sorts after any character that can follow the stem.
    const QString stem = fold(splitName(name, isFolder).first);
    for (const auto &row :
         ctx.db.query("SELECT lower(name) FROM files WHERE COALESCE(team_id, -owner_id) = ?1 "
                      "AND COALESCE(parent_id, 0) = ?2 AND trash_root IS NULL "
                      "AND lower(name) >= ?3 AND lower(name) < ?5 AND id <> ?4",
                      {spaceKey(space), parentId, stem, ignoreId, stem + QString::fromUcs4(U"\U0010FFFF")}))
        names.m_taken.insert(row.value(0).toString());
    return names;
}

QString FolderNames::claim(const QString &name, bool isFolder)
{
    QString folded = fold(name);
    if (!m_taken.contains(folded)) {
        m_taken.insert(folded);
        return name;
    }
    const auto [base, ext] = splitName(name, isFolder);
    // Numbers already handed out for this name are not tried again: a thousand clashes cost
    // a thousand lookups, not half a million.
    const QString key = fold(base) + QLatin1Char('/') + fold(ext);
    int n = m_nextNumber.value(key, 1);
    for (;; ++n) {
        const QString candidate = QStringLiteral("%1 (%2)%3").arg(base).arg(n).arg(ext);
        folded = fold(candidate);
        if (!m_taken.contains(folded)) {
            m_taken.insert(folded);
            m_nextNumber.insert(key, n + 1);
            return candidate;
        }
    }
}

} // namespace tvr::server
