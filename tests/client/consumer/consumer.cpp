// Stores a value through the installed library and reads it back.
#include <VelDataClient.h>
#include <VelDataClientWrapper.h>

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    VelDataClientWrapper wrapper;
    VelDataClient *client = wrapper.getClient();
    const QString expected = QStringLiteral("from ") + app.applicationName();
    if (!client->setString(QStringLiteral("consumer"), QStringLiteral("u"), expected)) {
        err << "set failed: " << client->lastError() << '\n';
        return 1;
    }
    QString read;
    if (client->getString(QStringLiteral("consumer"), QStringLiteral("u"), &read) != 1 ||
        read != expected) {
        err << "get failed: " << client->lastError() << " read '" << read << "'\n";
        return 1;
    }
    QTextStream(stdout) << "consumer ok: " << read << '\n';
    return 0;
}
