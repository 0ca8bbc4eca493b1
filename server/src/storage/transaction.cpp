#include "storage/transaction.h"

#include "storage/database.h"

namespace tvr::server {

Transaction::Transaction(Database &db)
    : m_db(db)
    , m_lock(db.m_mutex)
{
    m_level = m_db.m_depth;
    m_errorsAtStart = m_db.m_errorCount;
    m_actionsAtStart = m_db.m_afterCommit.size();
    const QString sql =
        m_level == 0 ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("SAVEPOINT tvr_sp%1").arg(m_level);
    m_active = m_db.execScript(sql);
    if (m_active)
        ++m_db.m_depth;
}

Transaction::~Transaction()
{
    if (m_active)
        rollback();
}

bool Transaction::commit()
{
    if (!m_active)
        return false;
    if (m_db.m_errorCount != m_errorsAtStart) {
        rollback();
        return false;
    }
    const QString sql = m_level == 0 ? QStringLiteral("COMMIT") : QStringLiteral("RELEASE tvr_sp%1").arg(m_level);
    if (!m_db.execScript(sql)) {
        rollback();
        return false;
    }
    m_active = false;
    --m_db.m_depth;
    if (m_level == 0) {
        auto actions = std::move(m_db.m_afterCommit);
        m_db.m_afterCommit.clear();
        for (auto &action : actions)
            action();
    }
    return true;
}

void Transaction::onCommit(std::function<void()> action)
{
    m_db.m_afterCommit.push_back(std::move(action));
}

void Transaction::rollback()
{
    if (m_level == 0)
        m_db.execScript(QStringLiteral("ROLLBACK"));
    else
        m_db.execScript(QStringLiteral("ROLLBACK TO tvr_sp%1; RELEASE tvr_sp%1").arg(m_level));
    m_db.m_afterCommit.resize(m_actionsAtStart);
    m_active = false;
    --m_db.m_depth;
}

} // namespace tvr::server
