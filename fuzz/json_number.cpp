// Numbers the server chooses (sizes, counts, ids, times): every JSON value, and every double
// including NaN and the infinities, reads as an integer within the asked bounds without an
// out-of-range conversion (which UBSan reports).
#include "fuzzcheck.h"

#include "net/httpresponse.h"
#include "net/jsonnumber.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstring>
#include <limits>

namespace {
void readAllWays(const QJsonValue &value, qint64 min, qint64 max)
{
    const qint64 bounded = jsonBoundedInt64(value, min, max, 7);
    TVR_FUZZ_CHECK(bounded >= std::min(min, max) && bounded <= std::max(min, max));
    (void)jsonInt64(value, 7);
    QJsonObject object;
    object.insert(QStringLiteral("n"), value);
    TVR_FUZZ_CHECK(jsonByteCount(object, QStringLiteral("n")) >= 0);
    (void)jsonText(object, QStringLiteral("n"));
}
} // namespace

TVR_FUZZ_ENTRY
{
    if (size < 16)
        return 0;
    // Sixteen bytes: the bounds; then the same bytes as a double; the rest as JSON and as a string.
    qint64 min = 0;
    qint64 max = 0;
    double number = 0;
    std::memcpy(&min, data, sizeof min);
    std::memcpy(&max, data + 8, sizeof max);
    std::memcpy(&number, data, sizeof number);
    const QByteArray rest(reinterpret_cast<const char *>(data + 16), qsizetype(size - 16));

    readAllWays(QJsonValue(number), min, max);
    (void)clampedInt64(number);
    readAllWays(QJsonValue(QString::fromUtf8(rest)), min, max);

    const QJsonDocument document = QJsonDocument::fromJson(rest);
    const QJsonArray array = document.isArray() ? document.array() : QJsonArray();
    const QJsonObject object = document.object();
    for (const QJsonValue &value : array)
        readAllWays(value, min, max);
    for (auto it = object.begin(); it != object.end(); ++it)
        readAllWays(it.value(), min, max);
    return 0;
}
