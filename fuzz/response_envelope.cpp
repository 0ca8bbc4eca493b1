// The answer every JSON request ends in, and the service envelope read from it: any status and
// any body give either data or a failure with a text, never a silent failure.
#include "fuzzcheck.h"

#include "net/httpclient.h"
#include "net/httpresponse.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>

TVR_FUZZ_ENTRY
{
    if (size < 2)
        return 0;
    // Two bytes choose the status (0 for no answer at all) and whether the transfer broke off.
    const int status = (data[0] | (data[1] & 0x3) << 8);
    const bool cutOff = data[1] & 0x80;
    const QByteArray body(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    const HttpResponse response =
        HttpClient::instance()->makeResponse(status, body, cutOff ? QStringLiteral("连接中断") : QString());
    TVR_FUZZ_CHECK(response.ok == (status >= 200 && status < 300 && !cutOff));
    TVR_FUZZ_CHECK(response.ok || !response.error.isEmpty());
    TVR_FUZZ_CHECK(response.isJson == (response.json.isObject() || response.json.isArray()));

    QJsonObject object;
    QString errorText;
    const bool unwrapped = response.unwrap(object, errorText);
    TVR_FUZZ_CHECK(unwrapped != !errorText.isEmpty());
    TVR_FUZZ_CHECK(!unwrapped || response.ok);

    // What the pages then read from the data, member by member.
    const QJsonArray items = response.dataArray();
    for (const QString &key : object.keys()) {
        (void)jsonText(object, key);
        (void)jsonInt64(object, key, -1);
    }
    for (const QJsonValue &item : items) {
        const QJsonObject record = item.toObject();
        for (const QString &key : record.keys()) {
            (void)jsonText(record, key);
            (void)jsonInt64(record.value(key));
        }
    }
    return 0;
}
