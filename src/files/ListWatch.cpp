#include "files/ListWatch.h"

#include <QLoggingCategory>
#include <QRegularExpression>

namespace {

Q_LOGGING_CATEGORY(lcListWatch, "varo.files", QtInfoMsg)

// A hash file holds 32 characters; far more is not one.
constexpr qint64 MaxAnswerBytes = 4096;
constexpr int AnswerTimeoutMs = 5000;

} // namespace

ListWatch::ListWatch(QNetworkAccessManager *networkManager, const QUrl &hashAddress, const QByteArray &hash,
                     QObject *parent)
    : QObject(parent)
    , manager(networkManager)
    , hashUrl(hashAddress)
    , verifiedHash(hash)
{
}

void ListWatch::blockFailed()
{
    if ((transfer && transfer->isRunning()) || (sinceAsked.isValid() && sinceAsked.elapsed() < MinIntervalMs))
        return;
    sinceAsked.start();
    transfer.reset(new Transfer(manager, this));
    connect(transfer.get(), &Transfer::finished, this, &ListWatch::onFinished);
    Transfer::Limits limits;
    limits.maxBodySize = MaxAnswerBytes;
    limits.hopTimeoutMs = AnswerTimeoutMs;
    transfer->get(hashUrl, &answer, limits);
}

void ListWatch::onFinished()
{
    // Only a hash file that arrived whole and names another list counts; a
    // failed question says nothing, and the next failed block asks again.
    // So does an answer that is no hash at all (a captive portal's page).
    static const QRegularExpression md5Hex(QStringLiteral("^[0-9a-f]{32}$"));
    if (transfer->result() != Transfer::Result::Ok || answer.data == verifiedHash
        || !md5Hex.match(QString::fromLatin1(answer.data)).hasMatch())
        return;
    qCInfo(lcListWatch).noquote() << "[sync list changed]" << QString::fromLatin1(verifiedHash.left(64)) << "->"
                                  << QString::fromLatin1(answer.data.left(64));
    emit listChanged();
}
