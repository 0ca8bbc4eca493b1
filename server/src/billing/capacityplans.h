#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

namespace tvr::server {

// One purchasable capacity tier for one duration.
struct CapacityPlan
{
    QString id;
    QString name;
    int capacityGb = 0;
    int priceFen = 0;
    int durationDays = 0;

    QJsonObject toJson() const;
};

// The fixed catalogue of capacity plans: each tier as a monthly card (31 days) and a yearly
// card (366 days), prices in fen.
class CapacityPlans final
{
public:
    static constexpr int MonthDays = 31;
    static constexpr int YearDays = 366;

    static const QList<CapacityPlan> &all();
    static std::optional<CapacityPlan> find(const QString &id);
    static QJsonArray toJson();
};

} // namespace tvr::server
