// The JSON answers of the launcher API (ping, updates, servers, news) and of
// the monitoring service. The first byte chooses the answer kind, the rest is
// the answer's body.
#include "FuzzSupport.h"

#include "service/ApiAnswers.h"
#include "service/WebAddress.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sanitizer/lsan_interface.h>

namespace {

// Qt 5.15's JSON parser leaks a few dozen bytes when an object holds a
// repeated key whose first value is an object or array (the replaced value
// is not freed), and on some error paths of text that is no valid JSON.
// That is Qt's, not ours; leak checking is set aside for such texts only,
// so that every other answer is still checked for leaks.
class QtJsonLeakAllowance
{
public:
    explicit QtJsonLeakAllowance(const QByteArray &body)
    {
        __lsan_disable();
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(body, &error);
        allowed = error.error != QJsonParseError::NoError || keyCount(body) != memberCount(document);
        if (!allowed)
            __lsan_enable();
    }
    ~QtJsonLeakAllowance()
    {
        if (allowed)
            __lsan_enable();
    }
    QtJsonLeakAllowance(const QtJsonLeakAllowance &) = delete;
    QtJsonLeakAllowance &operator=(const QtJsonLeakAllowance &) = delete;

private:
    // Keys written in valid JSON text: strings followed by a colon.
    static int keyCount(const QByteArray &text)
    {
        int keys = 0;
        for (int i = 0; i < text.size(); ++i) {
            if (text.at(i) != '"')
                continue;
            for (++i; i < text.size() && text.at(i) != '"'; ++i) {
                if (text.at(i) == '\\')
                    ++i;
            }
            int next = i + 1;
            while (next < text.size() && QByteArray(" \t\r\n").contains(text.at(next)))
                ++next;
            if (next < text.size() && text.at(next) == ':')
                ++keys;
        }
        return keys;
    }
    // Members the parser kept: fewer than the keys when a key repeats.
    static int memberCount(const QJsonValue &value)
    {
        int members = 0;
        if (value.isObject()) {
            const QJsonObject object = value.toObject();
            members += object.size();
            for (const QJsonValue &member : object)
                members += memberCount(member);
        } else if (value.isArray()) {
            for (const QJsonValue &element : value.toArray())
                members += memberCount(element);
        }
        return members;
    }
    static int memberCount(const QJsonDocument &document)
    {
        return memberCount(document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array()));
    }

    bool allowed = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray body = FuzzSupport::bytes(data + 1, size - 1);
    const QtJsonLeakAllowance allowance(body);
    switch (data[0] % 5) {
    case 0: {
        const QString cdn = ApiAnswers::parsePing(body);
        FUZZ_CHECK(cdn.isEmpty() || WebAddress::isFetchable(cdn));
        break;
    }
    case 1: {
        const ApiAnswers::UpdateOffer offer = ApiAnswers::parseUpdate(body);
        FUZZ_CHECK(offer.update || (offer.latestVersion.isEmpty() && offer.downloadUrl.isEmpty()));
        break;
    }
    case 2: {
        QVector<ApiAnswers::ServerEntry> servers;
        const bool isList = ApiAnswers::parseServers(body, &servers);
        FUZZ_CHECK(isList || servers.isEmpty());
        if (isList) {
            QJsonParseError error{};
            const QJsonDocument document = QJsonDocument::fromJson(body, &error);
            FUZZ_CHECK(error.error == QJsonParseError::NoError && document.isArray());
            FUZZ_CHECK(servers.size() == document.array().size());
        }
        break;
    }
    case 3: {
        const QVector<ApiAnswers::NewsItem> items = ApiAnswers::parseNews(body);
        FUZZ_CHECK(items.size() == QJsonDocument::fromJson(body).array().size());
        break;
    }
    case 4: {
        const ApiAnswers::MonitoringCounts counts = ApiAnswers::parseMonitoring(body);
        FUZZ_CHECK(counts.present || (counts.numplayers == 0 && counts.maxplayers == 0));
        break;
    }
    }
    return 0;
}
