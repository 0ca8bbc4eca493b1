// The chunk connection's answer reader: whatever a server sends, the reader ends in one of its
// results without reading out of bounds, holds at most MaxBodyBytes, and reaches the same result
// whether the bytes arrive at once or in pieces (as a socket may hand them over).
#include "fuzzcheck.h"

#include "net/httpanswerreader.h"

#include <QByteArray>

namespace {
struct Outcome
{
    HttpAnswerReader::Result result;
    bool closedWhole;
    int status;
    bool keepAlive;
    bool extra;
    QByteArray body;
};

Outcome readAll(const QByteArray &bytes, qsizetype piece)
{
    HttpAnswerReader reader;
    HttpAnswerReader::Result result = HttpAnswerReader::Result::NeedMore;
    for (qsizetype at = 0; at < bytes.size(); at += piece) {
        result = reader.feed(bytes.mid(at, piece));
        TVR_FUZZ_CHECK(reader.body().size() <= HttpAnswerReader::MaxBodyBytes);
    }
    if (bytes.isEmpty())
        result = reader.feed(QByteArray());
    Outcome outcome{result, false, reader.status(), reader.keepAlive(), reader.hasExtraBytes(), reader.body()};
    if (result == HttpAnswerReader::Result::Complete || result == HttpAnswerReader::Result::NeedMore) {
        outcome.closedWhole = reader.finishAtClose();
        outcome.body = reader.body();
    }
    if (result == HttpAnswerReader::Result::Complete) {
        TVR_FUZZ_CHECK(reader.isComplete());
        TVR_FUZZ_CHECK(reader.status() >= 200 && reader.status() <= 999);
    }
    return outcome;
}
} // namespace

TVR_FUZZ_ENTRY
{
    if (size == 0)
        return 0;
    // The first byte chooses the piece size; the rest is what the server sent.
    const qsizetype piece = 1 + data[0] % 37;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const Outcome whole = readAll(bytes, bytes.size() + 1);
    const Outcome pieces = readAll(bytes, piece);
    TVR_FUZZ_CHECK(whole.result == pieces.result);
    TVR_FUZZ_CHECK(whole.closedWhole == pieces.closedWhole);
    TVR_FUZZ_CHECK(whole.status == pieces.status);
    TVR_FUZZ_CHECK(whole.keepAlive == pieces.keepAlive);
    TVR_FUZZ_CHECK(whole.extra == pieces.extra);
    TVR_FUZZ_CHECK(whole.body == pieces.body);
    return 0;
}
