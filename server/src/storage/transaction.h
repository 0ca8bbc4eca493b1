#pragma once

#include <QtGlobal>
#include <functional>
#include <mutex>

namespace tvr::server {

class Database;

// A write transaction; on SQLite it holds the database lock until it ends. It commits only when
// commit() is called and no statement failed since it began; otherwise it rolls back when it
// goes out of scope. Nested transactions become savepoints of the outer one.
// Work that must follow a successful commit (removing blob files) is queued with onCommit().
class Transaction final
{
public:
    explicit Transaction(Database &db);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    bool commit();
    void onCommit(std::function<void()> action);
    bool active() const { return m_active; }

private:
    void rollback();

    Database &m_db;
    std::unique_lock<std::recursive_mutex> m_lock;
    size_t m_actionsAtStart = 0;
    quint64 m_errorsAtStart = 0;
    int m_level = 0;
    bool m_active = false;
};

} // namespace tvr::server
