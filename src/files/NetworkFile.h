#pragma once

#include <QByteArray>
#include <QObject>

// The in-memory receiver of one file bound for an IMG archive. A member is
// at most 65,535 sectors, and the download queue stops a transfer that grows
// beyond what such a member can plausibly take, so the buffer stays bounded.
class NetworkFile final : public QObject
{
    Q_OBJECT

public:
    explicit NetworkFile(QObject *parent = nullptr);

    void append(const QByteArray &bytes);
    const QByteArray &data() const;
    qint64 size() const;

private:
    QByteArray bytes;
};
