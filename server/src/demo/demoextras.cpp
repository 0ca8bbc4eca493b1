#include "demo/demoextras.h"

#include "accounts/accountstore.h"
#include "billing/capacityplans.h"
#include "billing/capacitystore.h"
#include "core/servercontext.h"
#include "demo/demofiles.h"
#include "files/blobstore.h"
#include "files/filetree.h"
#include "notify/notifications.h"
#include "storage/transaction.h"
#include "teams/teamstore.h"
#include "updates/updatearea.h"

#include <QJsonObject>

namespace tvr::server {

namespace {

constexpr qint64 DaySecs = 24 * 3600;

FileResult addFileResult(ServerContext &ctx, const FileSpace &space, qint64 parent, const QString &name,
                         const QByteArray &content)
{
    auto writer = ctx.blobs->createWriter();
    if (!writer || !writer->write(content.constData(), size_t(content.size())) || !writer->finish())
        return FileResult::error(500, QStringLiteral("写入失败"));
    return FileTree::addFile(ctx, space, parent, name, QString(), *writer);
}

bool addFile(ServerContext &ctx, const FileSpace &space, qint64 parent, const QString &name, const QByteArray &content)
{
    return addFileResult(ctx, space, parent, name, content).ok();
}

bool addPurchase(ServerContext &ctx, qint64 userId, const QString &planId, qint64 paidSecsAgo, const QString &orderNo)
{
    const auto plan = CapacityPlans::find(planId);
    return plan && CapacityStore::addRecord(ctx, userId, orderNo, *plan,
                                            Clock::format(ctx.clock.now().addSecs(-paidSecsAgo))) > 0;
}

} // namespace

bool DemoExtras::seedTeams(ServerContext &ctx, qint64 demoUserId)
{
    qint64 colleague = AccountStore::userIdByName(ctx, QLatin1String(ColleagueUsername)).value_or(0);
    if (colleague <= 0)
        colleague = AccountStore::createUser(ctx, QLatin1String(ColleagueUsername), QLatin1String(ColleaguePhone),
                                             QStringLiteral("李雷"));
    // Someone may already have registered that number in this data folder.
    if (colleague <= 0)
        colleague = AccountStore::createUser(ctx, QLatin1String(ColleagueUsername), QString(), QStringLiteral("李雷"));
    if (colleague <= 0)
        return false;

    Transaction tx(ctx.db);
    const qint64 product = TeamStore::create(ctx, demoUserId, QStringLiteral("产品研发部"));
    if (product <= 0 || !TeamStore::addMember(ctx, product, colleague))
        return false;
    const FileSpace mine = FileSpace::team(product, demoUserId);
    const FileSpace theirs = FileSpace::team(product, colleague);
    const qint64 designs = FileTree::createFolder(ctx, mine, 0, QStringLiteral("设计稿")).id;
    const qint64 minutes = FileTree::createFolder(ctx, mine, 0, QStringLiteral("会议纪要")).id;
    bool ok = designs > 0 && minutes > 0;
    ok = ok && addFile(ctx, mine, 0, QStringLiteral("产品路线图.pdf"),
                       DemoFiles::pdf({"Tolvar Enterprise Storage", "Roadmap 2025", "", "Q1: team spaces", "Q2: vault",
                                       "Q3: desktop sync"}));
    ok = ok && addFile(ctx, theirs, designs, QStringLiteral("首页线框图.png"), DemoFiles::png(640, 360, 200));
    ok = ok &&
         addFile(ctx, theirs, minutes, QStringLiteral("周会纪要.txt"),
                 QStringLiteral("周会纪要\n\n1. 团队空间上线\n2. 保险箱加密方案评审\n3. 下周发布 2.2.0\n").toUtf8());

    const qint64 market = TeamStore::create(ctx, colleague, QStringLiteral("市场合作组"));
    ok = ok && market > 0 && TeamStore::addMember(ctx, market, demoUserId);
    ok = ok && addFile(ctx, FileSpace::team(market, colleague), 0, QStringLiteral("合作伙伴名单.csv"),
                       QStringLiteral("伙伴,城市,联系人\n星河科技,上海,王经理\n远航物流,深圳,陈经理\n").toUtf8());
    if (!ok)
        return false;
    Notifications::notify(ctx, demoUserId, QLatin1String(Notifications::TeamInvite), QStringLiteral("团队邀请"),
                          QStringLiteral("李雷 邀请您加入了团队「市场合作组」，现在可以在团队空间中共享文件。"));
    return tx.commit();
}

bool DemoExtras::seedTrash(ServerContext &ctx, qint64 demoUserId)
{
    const FileSpace space = FileSpace::personal(demoUserId);
    Transaction tx(ctx.db);
    // The file goes back into "工作文档" when restored; the folder to the root.
    qint64 docs = 0;
    for (const QJsonValue &value : FileTree::list(ctx, space, 0, QString())) {
        const QJsonObject entry = value.toObject();
        if (entry.value(QStringLiteral("name")).toString() == QStringLiteral("工作文档") &&
            entry.value(QStringLiteral("type")).toString() == QStringLiteral("folder"))
            docs = entry.value(QStringLiteral("id")).toInteger();
    }
    const FileResult draft =
        addFileResult(ctx, space, docs, QStringLiteral("旧版报价单.txt"),
                      QStringLiteral("报价单（旧版）\n\n标准版 ￥1999/年\n企业版 ￥6999/年\n").toUtf8());
    const qint64 folder = FileTree::createFolder(ctx, space, 0, QStringLiteral("临时素材")).id;
    bool ok = draft.ok() && folder > 0 &&
              addFile(ctx, space, folder, QStringLiteral("草图.png"), DemoFiles::png(200, 120, 270));
    ok = ok && FileTree::moveToTrash(ctx, space, draft.id).ok() && FileTree::moveToTrash(ctx, space, folder).ok();
    return ok && tx.commit();
}

bool DemoExtras::seedNotifications(ServerContext &ctx, qint64 demoUserId)
{
    // Accounts made before notifications existed have no greeting yet; the key keeps it single.
    Notifications::welcome(ctx, demoUserId);
    return true;
}

bool DemoExtras::seedCapacity(ServerContext &ctx, qint64 demoUserId)
{
    Transaction tx(ctx.db);
    const QString stamp = ctx.clock.now().toString(QStringLiteral("yyyyMMddHHmmss"));
    bool ok = addPurchase(ctx, demoUserId, QStringLiteral("cap-100g-month"), (CapacityPlans::MonthDays - 5) * DaySecs,
                          QStringLiteral("TVRDEMO%1A").arg(stamp));
    ok = ok && addPurchase(ctx, demoUserId, QStringLiteral("cap-500g-month"), (CapacityPlans::MonthDays + 40) * DaySecs,
                           QStringLiteral("TVRDEMO%1B").arg(stamp));
    // Older purchases that have all lapsed, so the records span two pages without changing today's
    // capacity, and one refunded order that the client never lists.
    struct Past
    {
        const char *planId;
        qint64 paidDaysAgo;
    };
    constexpr Past History[] = {{"cap-1t-year", 400},   {"cap-100g-year", 500},  {"cap-2t-month", 200},
                                {"cap-500g-year", 380}, {"cap-100g-month", 150}, {"cap-1t-month", 90}};
    char suffix = 'C';
    for (const Past &past : History) {
        ok = ok && addPurchase(ctx, demoUserId, QLatin1String(past.planId), past.paidDaysAgo * DaySecs,
                               QStringLiteral("TVRDEMO%1%2").arg(stamp, QChar(QLatin1Char(suffix))));
        ++suffix;
    }
    ok = ok && CapacityStore::markRefunded(
                   ctx, QStringLiteral("TVRDEMO%1%2").arg(stamp, QChar(QLatin1Char(char(suffix - 1)))));
    return ok && tx.commit();
}

bool DemoExtras::seedUpdates(ServerContext &ctx, qint64)
{
    return UpdateArea::publishDemo(UpdateArea::rootFor(ctx.config.downloadsDir, ctx.config.dataDir));
}

} // namespace tvr::server
