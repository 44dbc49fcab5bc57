#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Debian's nginx on 127.0.0.1 on a free port, serving one directory, for
// end-to-end tests. Its access log is readable by the test, one line per
// request: "<method> <request uri> <status> <body bytes sent>".
class NginxServer final
{
public:
    explicit NginxServer(const QString &root);
    ~NginxServer();

    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // Extra directives for the server block (for example a location that
    // answers with a redirect). Call before start().
    void addServerConfig(const QString &directives);

    // Starts nginx and waits until it accepts connections. False (with the
    // reason in errorString) when nginx is missing or does not come up.
    bool start();
    void stop();

    QString errorString() const { return error; }
    quint16 port() const { return listenPort; }

    // "http://127.0.0.1:<port>" followed by path (which begins with "/").
    QString url(const QString &path = QString()) const;

    // The access log lines written so far, and the request paths (with
    // query) among them.
    QStringList accessLog() const;
    QStringList requestedPaths() const;
    void clearAccessLog();
    // Puts lines saved from accessLog() back, for a test that looks at them
    // after running something it does not want counted.
    void restoreAccessLog(const QStringList &lines);

private:
    QString root;
    QString extraConfig;
    QTemporaryDir prefix;
    QProcess process;
    quint16 listenPort = 0;
    QString error;
};
