#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

// The signed-in user, in memory only. Nothing of it is written to disk but the device code.
class Session final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Session)

public:
    static Session *instance();

    // Fills the session from the login data object; false (and nothing changed) without an id.
    bool applyLogin(const QJsonObject &data);
    void setCompanyName(const QString &companyName);
    // Logout reset; the device code survives it.
    void clear();
    QString ensureMachineCode();

    QString userId;
    QString username;
    QString name;
    QString phone;
    QString companyName;
    QString avatarUrl;
    QString token;
    QString vaultToken;
    QString machineCode;
    qint64 storageUsed = 0;
    qint64 storageLimit = 0;

signals:
    void changed();
    void capacityChanged();

private:
    Session() = default;
};
