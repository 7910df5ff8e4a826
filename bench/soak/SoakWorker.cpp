#include "SoakWorker.h"

#include <VelDataClient.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QTime>

#include <cstdio>

namespace {

const QString Absent = QStringLiteral("<absent>");

QString now()
{
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"));
}
constexpr int RuntimeKeysPerKind = 3;
constexpr int GlobalsKeys = 2;
constexpr int FailurePauseMs = 20;
constexpr int VerifyAttempts = 60;
constexpr int VerifyPauseMs = 250;
// A globals value is read from the client's cache, which the server's push
// after an acknowledged set reaches a moment later: a read that disagrees is
// repeated for up to a second before it counts as a loss.
constexpr int GlobalsRereads = 40;
constexpr int GlobalsRereadPauseMs = 25;

QString variantForm(const QVariantMap &map)
{
    return QStringLiteral("v:") +
           QString::fromUtf8(
               QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact));
}

QString contentForm(const QByteArray &content)
{
    return QStringLiteral("f:") +
           QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex());
}

QString doublesForm(const QList<double> &list)
{
    QStringList parts;
    for (double d : list)
        parts << QString::number(d, 'g', 17);
    return QStringLiteral("d:") + parts.join(QLatin1Char(','));
}

// File contents of 1 KiB to about 200 KiB, so that some travel in several pieces.
QByteArray fileContent(const QString &name, int n)
{
    const QByteArray line = QStringLiteral("%1 file %2\n").arg(name).arg(n).toUtf8();
    const int size = 1024 + (n % 100) * 2048;
    return line.repeated(size / line.size() + 1).left(size);
}

} // namespace

SoakWorker::SoakWorker(const QString &name, quint32 seed, const QString &folder,
                       const QDeadlineTimer &deadline)
    : m_name(name), m_folder(folder), m_deadline(deadline), m_random(seed)
{
    const auto add = [this](Kind kind, const QString &key) {
        m_keys.append({kind, key, {Absent}, QString()});
    };
    for (int i = 0; i < RuntimeKeysPerKind; ++i) {
        add(Kind::Int, QStringLiteral("soak-int-%1").arg(i));
        add(Kind::String, QStringLiteral("soak-string-%1").arg(i));
        add(Kind::DoubleList, QStringLiteral("soak-doubles-%1").arg(i));
        add(Kind::Variant, QStringLiteral("soak-variant-%1").arg(i));
    }
    // Globals have no uuid: the worker's name goes into the key.
    for (int i = 0; i < GlobalsKeys; ++i)
        add(Kind::Globals, QStringLiteral("soak-%1-globals-%2").arg(name).arg(i));
    add(Kind::File, QStringLiteral("soak-file"));
}

QString SoakWorker::sendPath() const
{
    return m_folder + QLatin1Char('/') + m_name + QStringLiteral("/send/") + m_name +
           QStringLiteral(".bin");
}

QString SoakWorker::receiveDir() const
{
    return m_folder + QLatin1Char('/') + m_name + QStringLiteral("/received");
}

void SoakWorker::run()
{
    QDir().mkpath(QFileInfo(sendPath()).path());
    QDir().mkpath(receiveDir());
    VelDataClient client;
    m_client = &client;
    while (!m_deadline.hasExpired())
        step();
    verifyAll();
    m_client = nullptr;
}

void SoakWorker::failed(const char *what, const Key &key)
{
    const QString error = m_client->lastError();
    m_tally.fail(error);
    const QString kind = SoakTally::kindOf(error);
    if (kind == QLatin1String("other") || kind == QLatin1String("unexplained"))
        std::fprintf(stderr, "%s failure: %s %s/%s: \"%s\"\n", qPrintable(now()), what,
                     qPrintable(key.key), qPrintable(m_name), qPrintable(error));
    QThread::msleep(FailurePauseMs);
}

void SoakWorker::step()
{
    Key &key = m_keys[int(m_random.bounded(quint32(m_keys.size())))];
    const quint32 dice = m_random.bounded(100u);
    if (key.kind == Kind::File) {
        // A missing file reads as a failure, so only a stored one is read.
        if (dice < 50 || key.possible.contains(Absent))
            set(key);
        else
            check(key);
        return;
    }
    if (dice < 45)
        set(key);
    else if (dice < 85)
        check(key);
    else
        remove(key);
}

void SoakWorker::set(Key &key)
{
    QString canonical;
    const bool acknowledged = write(key, m_next++, &canonical);
    key.since = now();
    if (acknowledged) {
        key.possible = QStringList{canonical};
    } else {
        key.possible.append(canonical);
        failed("set", key);
    }
}

void SoakWorker::remove(Key &key)
{
    m_tally.call();
    const bool acknowledged = key.kind == Kind::Globals ? m_client->removeGlobals(key.key)
                                                        : m_client->removeValue(key.key, m_name);
    key.since = now();
    if (acknowledged) {
        key.possible = QStringList{Absent};
    } else {
        key.possible.append(Absent);
        failed("remove", key);
    }
}

bool SoakWorker::check(Key &key)
{
    QString observed;
    if (!readOnce(key, &observed))
        return false;
    if (key.kind == Kind::Globals && !key.possible.contains(observed)) {
        for (int i = 0; i < GlobalsRereads && !key.possible.contains(observed); ++i) {
            QThread::msleep(GlobalsRereadPauseMs);
            if (!readOnce(key, &observed))
                return false;
        }
        if (key.possible.contains(observed))
            m_tally.fail(QStringLiteral("stale globals read"));
    }
    if (key.possible.contains(observed))
        m_tally.checked(SoakTally::Kept);
    else
        observed = judgeContradiction(key, observed);
    key.possible = QStringList{observed};
    key.since = now();
    return true;
}

QString SoakWorker::judgeContradiction(const Key &key, const QString &observed)
{
    const QString when = now();
    // Reading again tells a value the server no longer has from a read that
    // went wrong on the way.
    QString again;
    int result = -1;
    for (int attempt = 0; attempt < VerifyAttempts && result < 0; ++attempt) {
        result = read(key, &again);
        if (result < 0)
            QThread::msleep(VerifyPauseMs);
    }
    if (result == 0)
        again = Absent;
    const bool stillThere = result >= 0 && key.possible.contains(again);
    // The library empties its cache when the connection drops; an answer
    // that arrived just before is then gone and the getter reports "no value"
    // (0). That is a failed read, not a wrong one, when reading again finds
    // the value.
    if (stillThere && observed == Absent) {
        m_tally.fail(QStringLiteral("read emptied by lost connection"));
        return again;
    }
    m_tally.checked(stillThere ? SoakTally::WrongRead : SoakTally::Lost);
    std::fprintf(stderr, "%s %s: %s/%s read %s, expected one of %s (since %s); read again: %s\n",
                 qPrintable(when), stillThere ? "wrong read" : "value lost", qPrintable(key.key),
                 qPrintable(m_name), qPrintable(observed.left(80)),
                 qPrintable(key.possible.join(QStringLiteral(" | ")).left(400)),
                 qPrintable(key.since), result >= 0 ? qPrintable(again.left(80)) : "failed");
    return result >= 0 ? again : observed;
}

bool SoakWorker::readOnce(const Key &key, QString *observed)
{
    const int result = read(key, observed);
    if (result < 0) {
        failed("read", key);
        return false;
    }
    if (result == 0)
        *observed = Absent;
    return true;
}

bool SoakWorker::write(const Key &key, int n, QString *canonical)
{
    m_tally.call();
    const QString text = QStringLiteral("%1-%2").arg(m_name).arg(n);
    switch (key.kind) {
    case Kind::Int:
        *canonical = QStringLiteral("i:%1").arg(n);
        return m_client->setInt(key.key, m_name, n);
    case Kind::String:
        *canonical = QStringLiteral("s:") + text;
        return m_client->setString(key.key, m_name, text);
    case Kind::DoubleList: {
        const QList<double> list{double(n), n + 0.25, -1.0 / n};
        *canonical = doublesForm(list);
        return m_client->setDoubleList(key.key, m_name, list);
    }
    case Kind::Variant: {
        const QVariantMap map{{QStringLiteral("n"), n},
                              {QStringLiteral("s"), text},
                              {QStringLiteral("l"), QVariantList{1, QStringLiteral("a"), 2.5}}};
        *canonical = variantForm(map);
        return m_client->setVariant(key.key, m_name, map);
    }
    case Kind::Globals:
        *canonical = QStringLiteral("i:%1").arg(n);
        return m_client->setGlobalsInt(key.key, n);
    case Kind::File: {
        const QByteArray content = fileContent(m_name, n);
        *canonical = contentForm(content);
        QFile file(sendPath());
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(sendPath()));
            return false;
        }
        file.close();
        QString uuid = m_name;
        return m_client->setFile(key.key, uuid, sendPath());
    }
    }
    return false;
}

int SoakWorker::read(const Key &key, QString *canonical)
{
    m_tally.call();
    int result = -1;
    switch (key.kind) {
    case Kind::Int:
    case Kind::Globals: {
        int value = 0;
        result = key.kind == Kind::Int ? m_client->getInt(key.key, m_name, &value)
                                       : m_client->getGlobalsInt(key.key, &value);
        *canonical = QStringLiteral("i:%1").arg(value);
        break;
    }
    case Kind::String: {
        QString value;
        result = m_client->getString(key.key, m_name, &value);
        *canonical = QStringLiteral("s:") + value;
        break;
    }
    case Kind::DoubleList: {
        QList<double> value;
        result = m_client->getDoubleList(key.key, m_name, &value);
        *canonical = doublesForm(value);
        break;
    }
    case Kind::Variant: {
        QVariant value;
        result = m_client->getVariant(key.key, m_name, &value);
        *canonical = variantForm(value.toMap());
        break;
    }
    case Kind::File: {
        const QString received = receiveDir() + QLatin1Char('/') + m_name + QStringLiteral(".bin");
        QFile::remove(received);
        QString uuid = m_name;
        result = m_client->getFile(key.key, uuid, receiveDir());
        QFile file(received);
        if (result == 1 && !file.open(QIODevice::ReadOnly))
            *canonical = QStringLiteral("f:(no file saved)");
        else if (result == 1)
            *canonical = contentForm(file.readAll());
        break;
    }
    }
    return result;
}

void SoakWorker::verifyAll()
{
    for (Key &key : m_keys) {
        if (key.kind == Kind::File && key.possible.contains(Absent))
            continue;
        for (int attempt = 0; attempt < VerifyAttempts && !check(key); ++attempt)
            QThread::msleep(VerifyPauseMs);
    }
}
