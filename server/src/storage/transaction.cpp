#include "storage/transaction.h"

#include "storage/database.h"

namespace tvr::server {

Transaction::Transaction(Database &db)
    : m_db(db)
    , m_lock(db.m_mutex, std::defer_lock)
{
    // SQLite has one connection for every thread: its transaction excludes all others.
    // PostgreSQL gives the thread a connection of its own for the transaction's life.
    if (!m_db.isPostgres())
        m_lock.lock();
    Database::TxState &state = m_db.txState();
    m_level = state.depth;
    m_errorsAtStart = state.errors;
    m_actionsAtStart = state.afterCommit.size();
    m_active = m_level == 0 ? m_db.beginOuter() : m_db.execScript(QStringLiteral("SAVEPOINT tvr_sp%1").arg(m_level));
    if (m_active)
        ++state.depth;
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
    Database::TxState &state = m_db.txState();
    if (state.errors != m_errorsAtStart) {
        rollback();
        return false;
    }
    if (m_level == 0) {
        // Once COMMIT was sent the transaction is over, whatever the answer.
        m_active = false;
        --state.depth;
        auto actions = std::move(state.afterCommit);
        state.afterCommit.clear();
        if (!m_db.endOuter(true))
            return false;
        for (auto &action : actions)
            action();
        return true;
    }
    if (!m_db.execScript(QStringLiteral("RELEASE tvr_sp%1").arg(m_level))) {
        rollback();
        return false;
    }
    m_active = false;
    --state.depth;
    return true;
}

void Transaction::onCommit(std::function<void()> action)
{
    m_db.txState().afterCommit.push_back(std::move(action));
}

void Transaction::rollback()
{
    Database::TxState &state = m_db.txState();
    if (m_level == 0)
        m_db.endOuter(false);
    else
        m_db.execScript(QStringLiteral("ROLLBACK TO tvr_sp%1; RELEASE tvr_sp%1").arg(m_level));
    state.afterCommit.resize(m_actionsAtStart);
    m_active = false;
    --state.depth;
}

} // namespace tvr::server
