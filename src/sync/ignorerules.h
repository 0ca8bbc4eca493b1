#pragma once

#include <QList>
#include <QRegularExpression>
#include <QStringList>

// Which names a pair never syncs: the partial and temporary files every desktop leaves behind, our
// own download side files, and the pair's own list. A pattern is a shell wildcard ("*.log",
// "build"); without "/" it matches any one name in a path, so an ignored folder takes its
// contents with it; with "/" it matches the whole relative path.
class IgnoreRules final
{
public:
    // The patterns every pair ignores.
    static QStringList defaultPatterns();

    IgnoreRules();
    explicit IgnoreRules(const QStringList &extraPatterns);

    bool isIgnored(const QString &relativePath) const;
    // For one name alone (a scan checks each entry as it meets it).
    bool isIgnoredName(const QString &name) const;
    // The patterns with "/" alone, for a path whose every name has been checked already.
    bool isIgnoredWholePath(const QString &relativePath) const;
    QStringList extraPatterns() const { return m_extra; }

private:
    void add(const QString &pattern);

    QStringList m_extra;
    QList<QRegularExpression> m_names;
    QList<QRegularExpression> m_paths;
};
