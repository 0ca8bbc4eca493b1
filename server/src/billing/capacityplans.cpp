#include "billing/capacityplans.h"

namespace tvr::server {

namespace {

struct Tier
{
    int capacityGb;
    int monthFen;
    int yearFen;
};

// Yearly cards cost ten months: the discount the client advertises with its "超值" badge.
constexpr Tier Tiers[] = {
    {100, 990, 9900},
    {500, 2990, 29900},
    {1024, 4990, 49900},
    {2048, 8990, 89900},
};

QString tierText(int gb)
{
    return gb < 1024 ? QStringLiteral("%1GB").arg(gb) : QStringLiteral("%1TB").arg(gb / 1024);
}

QList<CapacityPlan> buildCatalogue()
{
    QList<CapacityPlan> plans;
    for (const Tier &tier : Tiers) {
        const QString size = tier.capacityGb < 1024 ? QStringLiteral("%1g").arg(tier.capacityGb)
                                                    : QStringLiteral("%1t").arg(tier.capacityGb / 1024);
        plans.append({QStringLiteral("cap-%1-month").arg(size), tierText(tier.capacityGb) + QStringLiteral(" 月卡"),
                      tier.capacityGb, tier.monthFen, CapacityPlans::MonthDays});
        plans.append({QStringLiteral("cap-%1-year").arg(size), tierText(tier.capacityGb) + QStringLiteral(" 年卡"),
                      tier.capacityGb, tier.yearFen, CapacityPlans::YearDays});
    }
    return plans;
}

} // namespace

QJsonObject CapacityPlan::toJson() const
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("name"), name},
                       {QStringLiteral("capacity_gb"), capacityGb},
                       {QStringLiteral("price_fen"), priceFen},
                       {QStringLiteral("duration_days"), durationDays}};
}

const QList<CapacityPlan> &CapacityPlans::all()
{
    static const QList<CapacityPlan> plans = buildCatalogue();
    return plans;
}

std::optional<CapacityPlan> CapacityPlans::find(const QString &id)
{
    for (const CapacityPlan &plan : all()) {
        if (plan.id == id)
            return plan;
    }
    return std::nullopt;
}

QJsonArray CapacityPlans::toJson()
{
    QJsonArray array;
    for (const CapacityPlan &plan : all())
        array.append(plan.toJson());
    return array;
}

} // namespace tvr::server
