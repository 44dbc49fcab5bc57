#include "support/NginxServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QString findNginx()
{
    QString found = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(QStringLiteral("nginx"),
                                               {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    return found;
}

} // namespace

NginxServer::NginxServer(const QString &servedRoot)
    : root(QDir(servedRoot).absolutePath())
{
}

NginxServer::~NginxServer()
{
    stop();
}

void NginxServer::addServerConfig(const QString &directives)
{
    extraConfig += directives + QLatin1Char('\n');
}

bool NginxServer::start()
{
    const QString nginx = findNginx();
    if (nginx.isEmpty()) {
        error = QStringLiteral("nginx is not installed (scripts/bootstrap installs it)");
        return false;
    }
    if (!prefix.isValid()) {
        error = QStringLiteral("no temporary folder for nginx");
        return false;
    }
    const QString p = prefix.path();
    for (int attempt = 0; attempt < 5; ++attempt) {
        listenPort = freePort();
        QFile conf(p + QStringLiteral("/nginx.conf"));
        if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            error = QStringLiteral("cannot write nginx.conf");
            return false;
        }
        // One process, in the foreground, as the invoking user: no worker
        // switching to an account that cannot read the test's folders.
        const QString text =
            QStringLiteral("daemon off;\nmaster_process off;\nworker_processes 1;\n"
                           "error_log %1/error.log warn;\npid %1/nginx.pid;\n"
                           "events { worker_connections 512; }\n"
                           "http {\n"
                           "  types { application/octet-stream compressed; text/plain txt lst hash; }\n"
                           "  default_type application/octet-stream;\n"
                           "  log_format varo '$request_method $request_uri $status $body_bytes_sent';\n"
                           "  access_log %1/access.log varo;\n"
                           "  client_body_temp_path %1/body; proxy_temp_path %1/proxy; fastcgi_temp_path %1/fastcgi;\n"
                           "  uwsgi_temp_path %1/uwsgi; scgi_temp_path %1/scgi;\n"
                           "  sendfile on; keepalive_timeout 30;\n"
                           "  server {\n"
                           "    listen 127.0.0.1:%2;\n"
                           "    root %3;\n"
                           "%4"
                           "  }\n"
                           "}\n")
                .arg(p)
                .arg(listenPort)
                .arg(root, extraConfig);
        conf.write(text.toUtf8());
        conf.close();

        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(nginx, {QStringLiteral("-p"), p, QStringLiteral("-c"), p + QStringLiteral("/nginx.conf")});
        if (!process.waitForStarted(5000)) {
            error = QStringLiteral("nginx did not start: ") + process.errorString();
            return false;
        }
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 5000 && process.state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, listenPort);
            if (socket.waitForConnected(200))
                return true;
            QThread::msleep(50);
        }
        error = QStringLiteral("nginx did not come up: ") + QString::fromLocal8Bit(process.readAll());
        stop();
    }
    return false;
}

void NginxServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

QString NginxServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(listenPort) + path;
}

QStringList NginxServer::accessLog() const
{
    QFile log(prefix.path() + QStringLiteral("/access.log"));
    if (!log.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList lines;
    while (!log.atEnd()) {
        const QString line = QString::fromUtf8(log.readLine()).trimmed();
        if (!line.isEmpty())
            lines << line;
    }
    return lines;
}

QStringList NginxServer::requestedPaths() const
{
    QStringList paths;
    for (const QString &line : accessLog()) {
        const QStringList fields = line.split(QLatin1Char(' '));
        if (fields.size() >= 2)
            paths << fields.at(1);
    }
    return paths;
}

void NginxServer::clearAccessLog()
{
    QFile log(prefix.path() + QStringLiteral("/access.log"));
    if (log.open(QIODevice::WriteOnly | QIODevice::Truncate))
        log.close();
}

void NginxServer::restoreAccessLog(const QStringList &lines)
{
    QFile log(prefix.path() + QStringLiteral("/access.log"));
    if (!log.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    for (const QString &line : lines)
        log.write(line.toUtf8() + '\n');
}
