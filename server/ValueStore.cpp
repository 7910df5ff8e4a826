#include "ValueStore.h"

#include "DataPackage.h"
#include "FilePackage.h"
#include "IdentData.h"
#include "PackageBytes.h"
#include "ServerLog.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char *const Schema[] = {
    "CREATE TABLE IF NOT EXISTS vals(key TEXT PRIMARY KEY, type INTEGER NOT NULL,"
    " payload BLOB NOT NULL, global INTEGER NOT NULL, file_id INTEGER,"
    " file_size INTEGER NOT NULL, file_pieces INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS file_pieces(file_id INTEGER NOT NULL, seq INTEGER NOT NULL,"
    " data BLOB NOT NULL, PRIMARY KEY(file_id, seq))",
    // Pieces left behind by a file whose value was replaced while it was
    // being sent and the server stopped before the transfer ended.
    "DELETE FROM file_pieces WHERE file_id NOT IN"
    " (SELECT file_id FROM vals WHERE file_id IS NOT NULL)",
};

const char SelectColumns[] = "SELECT key, type, payload, file_id, file_size, file_pieces FROM vals";

bool run(QSqlQuery &query, const QString &sql, const QVariantList &values, QString *error)
{
    if (query.prepare(sql)) {
        for (const QVariant &value : values)
            query.addBindValue(value);
        if (query.exec())
            return true;
    }
    *error = query.lastError().text();
    return false;
}

ValueStore::Entry entryOf(const QSqlQuery &query)
{
    ValueStore::Entry entry;
    entry.key = query.value(0).toString();
    entry.type = query.value(1).toInt();
    entry.payload = query.value(2).toByteArray();
    entry.fileId = query.value(3).toLongLong();
    entry.fileSize = query.value(4).toLongLong();
    entry.filePieces = query.value(5).toInt();
    return entry;
}

/// The refusal of a damaged database file, with the command that moves it
/// (and its write-ahead log) aside so that the server can start afresh.
QString damaged(const QString &path, const QString &detail)
{
    QStringList moves;
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        if (QFileInfo::exists(path + suffix))
            moves << QStringLiteral("mv '%1' '%1.damaged'").arg(path + suffix);
    }
    return QStringLiteral("the database %1 is damaged (%2). To start with an empty one and keep "
                          "the damaged file for recovery, stop every VelDataServer and run: %3")
        .arg(path, detail, moves.join(QStringLiteral(" && ")));
}

} // namespace

ValueStore::ValueStore() : m_connection(QStringLiteral("veldata-store-%1").arg(quintptr(this))) {}

ValueStore::~ValueStore()
{
    close();
}

bool ValueStore::isOpen() const
{
    return QSqlDatabase::contains(m_connection);
}

bool ValueStore::open(const QString &dataDir, bool inMemory, QString *error)
{
    close();
    QString path = QStringLiteral(":memory:");
    if (!inMemory) {
        if (!QDir().mkpath(dataDir)) {
            *error = QStringLiteral("cannot create the data folder %1").arg(dataDir);
            return false;
        }
        path = QDir(dataDir).filePath(QStringLiteral("values.sqlite"));
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(path);
    // A second server on the same folder fails at once instead of waiting.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
    QStringList statements;
    if (!inMemory) {
        // Exclusive locking before WAL keeps the WAL index out of shared
        // memory and the folder to this one process. NORMAL synchronisation
        // in WAL mode loses nothing committed when the process dies, only
        // possibly the last commits on a power failure.
        statements << QStringLiteral("PRAGMA locking_mode=EXCLUSIVE")
                   << QStringLiteral("PRAGMA journal_mode=WAL")
                   << QStringLiteral("PRAGMA synchronous=NORMAL");
    }
    for (const char *statement : Schema)
        statements << QString::fromLatin1(statement);
    bool ok = db.open();
    QString failure = db.lastError().text();
    for (int i = 0; ok && i < statements.size(); ++i) {
        QSqlQuery query(db);
        ok = run(query, statements.at(i), {}, &failure);
    }
    if (ok) {
        QSqlQuery query(db);
        ok = run(query, QStringLiteral("SELECT COALESCE(MAX(file_id), 0) FROM file_pieces"), {},
                 &failure) &&
             query.next();
        if (ok)
            m_nextFileId = query.value(0).toLongLong() + 1;
    }
    if (ok && !inMemory) {
        // A damaged file is found now, with a way out, rather than by every
        // request that later reaches a bad page.
        QSqlQuery query(db);
        ok = run(query, QStringLiteral("PRAGMA quick_check(1)"), {}, &failure) && query.next() &&
             query.value(0).toString() == QLatin1String("ok");
        if (ok)
            query.finish();
        else if (failure.isEmpty())
            failure =
                QStringLiteral("database disk image is malformed: ") + query.value(0).toString();
    }
    if (!ok && !inMemory &&
        (failure.contains(QLatin1String("not a database")) ||
         failure.contains(QLatin1String("malformed")))) {
        // Closed first: the files to move aside are those left afterwards.
        db = QSqlDatabase();
        close();
        *error = damaged(path, failure);
        return false;
    }
    if (!ok) {
        *error = QStringLiteral("cannot open the database %1: %2").arg(path, failure);
        db = QSqlDatabase();
        close();
    }
    return ok;
}

void ValueStore::close()
{
    if (!isOpen())
        return;
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
    m_pins.clear();
    m_unreferenced.clear();
}

ValueStore::Result ValueStore::failed(const QString &what, QString *error)
{
    if (isOpen())
        QSqlDatabase::database(m_connection, false).rollback();
    *error = QStringLiteral("storage failed to %1: %2").arg(what, *error);
    return Result::Failed;
}

bool ValueStore::begin(const QString &key, bool *exists, qint64 *fileId, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("storage is closed");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    QSqlQuery query(db);
    if (!run(query, QStringLiteral("SELECT file_id FROM vals WHERE key = ?"), {key}, error))
        return false;
    *exists = query.next();
    *fileId = *exists ? query.value(0).toLongLong() : 0;
    return true;
}

bool ValueStore::commitDropping(qint64 fileId, QString *error)
{
    // A file being sent keeps its pieces until its last transfer ends.
    const bool pinned = m_pins.contains(fileId);
    if (fileId && !pinned && !deleteFilePieces(fileId, error))
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.commit()) {
        *error = db.lastError().text();
        return false;
    }
    if (fileId && pinned)
        m_unreferenced.insert(fileId);
    return true;
}

ValueStore::Result ValueStore::put(const QString &key, bool global, const DataPackage &package,
                                   Entry *stored, QString *error)
{
    Entry entry;
    entry.key = key;
    entry.type = package.type();
    const auto *file = dynamic_cast<const FilePackage *>(&package);
    if (file) {
        // The content goes into pieces of its own; the value keeps only the
        // identifier and name, from which the frame header is rebuilt.
        const FilePackage head(0, file->ident() ? file->ident()->clone() : nullptr,
                               file->fileName(), {});
        entry.payload = PackageBytes::frame(head).mid(BasicPackage::HeaderSize);
        entry.fileId = m_nextFileId;
    } else {
        // Cut in place: a copy of a large value would cost a fresh buffer.
        entry.payload = PackageBytes::frame(package).remove(0, BasicPackage::HeaderSize);
    }

    bool exists = false;
    qint64 previousFile = 0;
    if (!begin(key, &exists, &previousFile, error))
        return failed(QStringLiteral("store"), error);
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (file) {
        for (const QByteArray *piece : file->chunks()) {
            if (piece->isEmpty())
                continue;
            if (!run(query, QStringLiteral("INSERT INTO file_pieces VALUES (?, ?, ?)"),
                     {entry.fileId, entry.filePieces, *piece}, error))
                return failed(QStringLiteral("store"), error);
            ++entry.filePieces;
            entry.fileSize += piece->size();
        }
    }
    if (!run(query, QStringLiteral("INSERT OR REPLACE INTO vals VALUES (?, ?, ?, ?, ?, ?, ?)"),
             {key, entry.type, entry.payload, int(global),
              file ? QVariant(entry.fileId) : QVariant(), entry.fileSize, entry.filePieces},
             error) ||
        !commitDropping(previousFile, error))
        return failed(QStringLiteral("store"), error);
    if (file)
        ++m_nextFileId;
    *stored = entry;
    return Result::Done;
}

ValueStore::Result ValueStore::get(const QString &key, Entry *entry, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("storage is closed");
        return failed(QStringLiteral("read"), error);
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!run(query, QString::fromLatin1(SelectColumns) + QStringLiteral(" WHERE key = ?"), {key},
             error))
        return failed(QStringLiteral("read"), error);
    if (!query.next())
        return Result::NotFound;
    *entry = entryOf(query);
    return Result::Done;
}

ValueStore::Result ValueStore::remove(const QString &key, QString *error)
{
    bool exists = false;
    qint64 fileId = 0;
    if (!begin(key, &exists, &fileId, error))
        return failed(QStringLiteral("remove"), error);
    if (!exists) {
        QSqlDatabase::database(m_connection, false).rollback();
        return Result::NotFound;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!run(query, QStringLiteral("DELETE FROM vals WHERE key = ?"), {key}, error) ||
        !commitDropping(fileId, error))
        return failed(QStringLiteral("remove"), error);
    return Result::Done;
}

QList<ValueStore::Entry> ValueStore::globals(QString *error)
{
    QList<Entry> entries;
    if (!isOpen()) {
        *error = QStringLiteral("storage is closed");
        return entries;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!run(query, QString::fromLatin1(SelectColumns) + QStringLiteral(" WHERE global = 1"), {},
             error))
        return entries;
    while (query.next())
        entries.append(entryOf(query));
    return entries;
}

bool ValueStore::filePiece(qint64 fileId, int index, QByteArray *data, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("storage is closed");
        return false;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!run(query, QStringLiteral("SELECT data FROM file_pieces WHERE file_id = ? AND seq = ?"),
             {fileId, index}, error))
        return false;
    if (!query.next()) {
        *error = QStringLiteral("piece %1 of file %2 is missing").arg(index).arg(fileId);
        return false;
    }
    *data = query.value(0).toByteArray();
    return true;
}

void ValueStore::pinFile(qint64 fileId)
{
    ++m_pins[fileId];
}

void ValueStore::unpinFile(qint64 fileId)
{
    const auto it = m_pins.find(fileId);
    if (it == m_pins.end() || --*it > 0)
        return;
    m_pins.erase(it);
    if (m_unreferenced.remove(fileId)) {
        QString error;
        if (!deleteFilePieces(fileId, &error))
            qCWarning(lcServer) << "cannot delete the pieces of a replaced file:" << error;
    }
}

bool ValueStore::deleteFilePieces(qint64 fileId, QString *error)
{
    if (!isOpen())
        return true;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    return run(query, QStringLiteral("DELETE FROM file_pieces WHERE file_id = ?"), {fileId}, error);
}
