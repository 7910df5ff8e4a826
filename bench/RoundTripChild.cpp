#include "RoundTripChild.h"

#include "ApiBench.h"
#include "Samples.h"
#include "VelDataClient.h"

#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>

#include <cstdio>

namespace {
constexpr int ChildLimitMs = 120000;
}

QJsonObject RoundTripChild::run(const QString &program, int port, int calls, int maxMs, bool noGlib,
                                const QString &home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_NO_GLIB"));
    if (noGlib)
        environment.insert(QStringLiteral("QT_NO_GLIB"), QStringLiteral("1"));
    if (!home.isEmpty()) {
        // The client finds its server's readiness block in the temporary
        // folder and its port in the settings.
        environment.insert(QStringLiteral("XDG_CONFIG_DIRS"), home + QStringLiteral("/config"));
        environment.insert(QStringLiteral("TMPDIR"), home + QStringLiteral("/tmp"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    }
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, {QStringLiteral("--port"), QString::number(port),
                            QStringLiteral("--round-trip-child"),
                            QStringLiteral("%1,%2").arg(calls).arg(maxMs)});
    if (!process.waitForFinished(ChildLimitMs)) {
        process.kill();
        process.waitForFinished(5000);
        return QJsonObject{{"error", "the round-trip child did not finish"}};
    }
    const QByteArray line = process.readAllStandardOutput().trimmed().split('\n').last();
    QJsonObject json = QJsonDocument::fromJson(line).object();
    if (process.exitCode() != 0 || json.isEmpty())
        json.insert(QStringLiteral("error"),
                    QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
    return json;
}

int RoundTripChild::child(int calls, int maxMs)
{
    VelDataClient client;
    ApiBench api(&client);
    QString error;
    if (!api.prepare(&error)) {
        std::printf("%s\n", QJsonDocument(QJsonObject{{"error", error}})
                                .toJson(QJsonDocument::Compact)
                                .constData());
        return 1;
    }
    QJsonObject out;
    for (const ApiBench::Operation &op : api.operations()) {
        if (op.name != QLatin1String("setInt") && op.name != QLatin1String("getInt"))
            continue;
        Samples::run(calls / 10, 1000, op.call);
        out.insert(op.name, Samples::run(calls, maxMs, op.call).toJson());
    }
    std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return 0;
}
