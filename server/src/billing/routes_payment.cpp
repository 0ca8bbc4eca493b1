// Payment orders for capacity: creating an order with its QR code, the order status, and the
// payment page that the QR code opens.
#include "billing/payments.h"
#include "billing/qrpng.h"
#include "core/servercontext.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "storage/areas.h"

#include <QUrl>

namespace tvr::server {

namespace {

QString htmlEscape(const QString &text)
{
    return text.toHtmlEscaped();
}

QString yuan(int fen)
{
    return QStringLiteral("¥%1.%2").arg(fen / 100).arg(fen % 100, 2, 10, QLatin1Char('0'));
}

// The page a phone opens from the QR code, under the server's public address (never one a
// request names).
QString payUrl(ServerContext &ctx, const Payments::Order &order)
{
    return QStringLiteral("%1/pay/%2?t=%3")
        .arg(ctx.config.publicUrl, QString::fromLatin1(QUrl::toPercentEncoding(order.orderNo)), order.payToken);
}

void sendPage(http::Response &res, int status, const QString &title, const QString &body)
{
    const QString html =
        QStringLiteral(
            "<!DOCTYPE html><html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
            "<title>%1</title><style>"
            "body{margin:0;background:#f5f7fa;font-family:sans-serif;color:#1A2A4A;}"
            ".card{max-width:420px;margin:40px auto;background:#fff;border-radius:16px;padding:24px 28px;"
            "box-shadow:0 4px 24px rgba(26,42,74,.08);border-top:3px solid #C9A84C;}"
            "h1{font-size:20px;margin:0 0 16px;}p{color:#5a6478;font-size:14px;line-height:1.6;}"
            ".row{display:flex;justify-content:space-between;padding:8px 0;border-bottom:1px solid #eef0f4;"
            "font-size:14px;}.price{color:#C9A84C;font-size:22px;font-weight:700;}"
            "button{width:100%;height:46px;margin-top:20px;border:none;border-radius:10px;background:#C9A84C;"
            "color:#1A2A4A;font-size:16px;font-weight:600;}"
            "</style></head><body><div class=\"card\"><h1>%1</h1>%2</div></body></html>")
            .arg(htmlEscape(title), body);
    res.status = status;
    res.setHeader("Cache-Control", "no-store");
    res.setContent(html.toStdString(), "text/html; charset=utf-8");
}

QString orderRows(const Payments::Order &order)
{
    return QStringLiteral("<div class=\"row\"><span>订单号</span><span>%1</span></div>"
                          "<div class=\"row\"><span>套餐</span><span>%2</span></div>"
                          "<div class=\"row\"><span>金额</span><span class=\"price\">%3</span></div>")
        .arg(htmlEscape(order.orderNo), htmlEscape(order.planName), yuan(order.amountFen));
}

// The order of a payment page link, when its token matches.
std::optional<Payments::Order> linkedOrder(ServerContext &ctx, const http::Request &req)
{
    const auto order = Payments::find(ctx, QString::fromStdString(req.matches[1]));
    const QString token = QString::fromStdString(req.param("t"));
    if (!order || token.isEmpty() || token != order->payToken)
        return std::nullopt;
    return order;
}

void showPayPage(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    Payments::settleDue(ctx);
    const auto order = linkedOrder(ctx, req);
    if (!order)
        return sendPage(res, 404, QStringLiteral("订单不存在"), QStringLiteral("<p>该支付链接无效或已失效。</p>"));
    QString body = orderRows(*order);
    if (order->status == QLatin1String("paid")) {
        body += QStringLiteral("<p>订单已支付，容量已到账。</p>");
    } else if (order->status == QLatin1String("closed")) {
        body += QStringLiteral("<p>订单已关闭（已超时或已重新生成收款码），请在客户端重新下单。</p>");
    } else if (ctx.config.dev) {
        body +=
            QStringLiteral("<p>开发模式：本服务器未接入支付渠道，点击下方按钮即视为支付成功。</p>"
                           "<form method=\"post\" action=\"/pay/%1\"><input type=\"hidden\" name=\"t\" value=\"%2\">"
                           "<button type=\"submit\">确认支付</button></form>")
                .arg(QString::fromLatin1(QUrl::toPercentEncoding(order->orderNo)), htmlEscape(order->payToken));
    } else {
        body += QStringLiteral("<p>本服务器未接入支付渠道，暂时无法在线支付。</p>");
    }
    sendPage(res, 200, QStringLiteral("托尔瓦企业存储 · 订单支付"), body);
}

void confirmPayment(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    if (!ctx.config.dev)
        return sendPage(res, 403, QStringLiteral("无法支付"), QStringLiteral("<p>本服务器未接入支付渠道。</p>"));
    const auto order = linkedOrder(ctx, req);
    if (!order)
        return sendPage(res, 404, QStringLiteral("订单不存在"), QStringLiteral("<p>该支付链接无效或已失效。</p>"));
    if (order->status == QLatin1String("pending") && !Payments::pay(ctx, order->orderNo))
        return sendPage(res, 500, QStringLiteral("支付失败"), QStringLiteral("<p>请稍后重试。</p>"));
    const auto now = Payments::find(ctx, order->orderNo);
    if (!now || now->status != QLatin1String("paid"))
        return sendPage(res, 409, QStringLiteral("无法支付"),
                        QStringLiteral("<p>订单已关闭（已超时或已重新生成收款码），请重新下单。</p>"));
    sendPage(res, 200, QStringLiteral("支付成功"),
             orderRows(*now) + QStringLiteral("<p>支付成功，容量已到账，请返回客户端查看。</p>"));
}

void registerPaymentRoutes(http::Router &router, ServerContext &ctx)
{
    router.post("/api/payment/alipay/precreate",
                withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                    const auto body = jsonBody(req, res);
                    if (!body)
                        return;
                    const QString type = jsonString(*body, QStringLiteral("plan_type"));
                    if (!type.isEmpty() && type != QLatin1String("capacity"))
                        return fail(res, 400, QStringLiteral("不支持的订单类型"));
                    QString error;
                    const auto order = Payments::create(ctx, user.id, jsonString(*body, QStringLiteral("plan_id")),
                                                        jsonString(*body, QStringLiteral("replaces")), &error);
                    if (!order)
                        return fail(res, 400, error);
                    const QString url = payUrl(ctx, *order);
                    const QString qr = QrPng::dataUrl(url.toUtf8());
                    if (qr.isEmpty())
                        return fail(res, 500, QStringLiteral("收款码生成失败，请稍后重试"));
                    QJsonObject data = Payments::toJson(*order);
                    data.insert(QStringLiteral("qr"), qr);
                    data.insert(QStringLiteral("pay_url"), url);
                    ok(res, data);
                }));

    router.get("/api/payment/order/([^/]+)",
               withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                   Payments::settleDue(ctx);
                   const auto order = Payments::find(ctx, QString::fromStdString(req.matches[1]));
                   if (!order || order->userId != user.id)
                       return fail(res, 404, QStringLiteral("订单不存在"));
                   ok(res, Payments::toJson(*order));
               }));

    router.get("/pay/([^/]+)", [&ctx](const http::Request &req, http::Response &res) { showPayPage(ctx, req, res); });
    router.post("/pay/([^/]+)",
                [&ctx](const http::Request &req, http::Response &res) { confirmPayment(ctx, req, res); });
}

} // namespace

Area paymentArea()
{
    Area area{"payment", {}};
    area.migrations = {
        {1, "CREATE TABLE payment_orders(order_no TEXT PRIMARY KEY, "
            "  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, "
            "  plan_id TEXT NOT NULL, plan_name TEXT NOT NULL, amount_fen INTEGER NOT NULL, "
            "  status TEXT NOT NULL CHECK(status IN ('pending', 'paid')), created_at TEXT NOT NULL, "
            "  created_secs INTEGER NOT NULL, paid_at TEXT, pay_token TEXT NOT NULL);"
            "CREATE INDEX payment_orders_user ON payment_orders(user_id, status);"
            "CREATE INDEX payment_orders_pending ON payment_orders(status, created_secs);"},
        // When a newer order of the user replaced this pending one; it can no longer be paid.
        {2, "ALTER TABLE payment_orders ADD COLUMN closed_secs INTEGER;"},
    };
    area.registerRoutes = registerPaymentRoutes;
    return area;
}

} // namespace tvr::server
