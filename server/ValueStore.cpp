#include "ValueStore.h"

#include "DataPackage.h"
#include "FilePackage.h"
#include "FrameBytes.h"
#include "IdentData.h"
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

// By ValueStore::Statement.
const char *const Statements[] = {
    "INSERT INTO file_pieces VALUES (?, ?, ?)",
    "INSERT OR REPLACE INTO vals VALUES (?, ?, ?, ?, ?, ?, ?)",
    "DELETE FROM vals WHERE key = ?",
    "SELECT data FROM file_pieces WHERE file_id = ? AND seq = ?",
    "DELETE FROM file_pieces WHERE file_id = ?",
    "DELETE FROM vals",
    "DELETE FROM file_pieces",
    // Passive: it copies what it can without waiting for anything.
    "PRAGMA wal_checkpoint(PASSIVE)",
};

// How long after a commit the write-ahead log is copied into the database.
constexpr int CheckpointDelayMs = 1000;

bool runText(QSqlQuery &query, const QString &sql, const QVariantList &values, QString *error)
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

ValueStore::ValueStore() : m_connection(QStringLiteral("veldata-store-%1").arg(quintptr(this)))
{
    m_checkpointTimer.setSingleShot(true);
    QObject::connect(&m_checkpointTimer, &QTimer::timeout, [this] { checkpoint(); });
}

ValueStore::~ValueStore()
{
    close();
}

bool ValueStore::isOpen() const
{
    return m_db.isOpen();
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
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    m_db.setDatabaseName(path);
    // A second server on the same folder fails at once instead of waiting.
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
    QStringList statements;
    if (!inMemory) {
        // Exclusive locking before WAL keeps the WAL index out of shared
        // memory and the folder to this one process. NORMAL synchronisation
        // in WAL mode loses nothing committed when the process dies, only
        // possibly the last commits on a power failure.
        // A checkpoint on commit would hold up the answers waiting for it;
        // the checkpoint timer copies the log instead.
        statements << QStringLiteral("PRAGMA locking_mode=EXCLUSIVE")
                   << QStringLiteral("PRAGMA journal_mode=WAL")
                   << QStringLiteral("PRAGMA synchronous=NORMAL")
                   << QStringLiteral("PRAGMA wal_autocheckpoint=0");
    }
    for (const char *statement : Schema)
        statements << QString::fromLatin1(statement);
    bool ok = m_db.open();
    QString failure = m_db.lastError().text();
    for (int i = 0; ok && i < statements.size(); ++i) {
        QSqlQuery query(m_db);
        ok = runText(query, statements.at(i), {}, &failure);
    }
    if (ok) {
        QSqlQuery query(m_db);
        // An empty file has an identifier but no pieces.
        ok =
            runText(query,
                    QStringLiteral("SELECT MAX(COALESCE((SELECT MAX(file_id) FROM file_pieces), 0),"
                                   " COALESCE((SELECT MAX(file_id) FROM vals), 0))"),
                    {}, &failure) &&
            query.next();
        if (ok)
            m_nextFileId = query.value(0).toLongLong() + 1;
    }
    if (ok && !inMemory) {
        // A damaged file is found now, with a way out, rather than by every
        // request that later reaches a bad page.
        QSqlQuery query(m_db);
        ok = runText(query, QStringLiteral("PRAGMA quick_check(1)"), {}, &failure) &&
             query.next() && query.value(0).toString() == QLatin1String("ok");
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
        close();
        *error = damaged(path, failure);
        return false;
    }
    static_assert(sizeof Statements / sizeof *Statements == StatementCount,
                  "a text for every statement");
    m_statements.reserve(StatementCount);
    for (int i = 0; ok && i < StatementCount; ++i) {
        m_statements.emplace_back(m_db);
        ok = m_statements.back().prepare(QString::fromLatin1(Statements[i]));
        if (!ok)
            failure = m_statements.back().lastError().text();
    }
    if (ok)
        ok = load(&failure);
    if (!ok) {
        *error = QStringLiteral("cannot open the database %1: %2").arg(path, failure);
        close();
    }
    m_durable = ok && !inMemory;
    return ok;
}

void ValueStore::close()
{
    if (!QSqlDatabase::contains(m_connection))
        return;
    QString error;
    if (!commit(&error))
        qCWarning(lcServer) << "changes lost at close:" << error;
    m_checkpointTimer.stop();
    // Every handle on the connection goes before the connection itself.
    m_statements.clear();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
    m_pins.clear();
    m_unreferenced.clear();
    m_entries.clear();
    m_durable = false;
}

bool ValueStore::load(QString *error)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!runText(query,
                 QStringLiteral("SELECT key, type, payload, global, file_id, file_size,"
                                " file_pieces FROM vals"),
                 {}, error))
        return false;
    QHash<QString, Entry> entries;
    while (query.next()) {
        Entry entry;
        entry.key = query.value(0).toString();
        entry.type = query.value(1).toInt();
        entry.payload = query.value(2).toByteArray();
        entry.global = query.value(3).toInt() != 0;
        entry.fileId = query.value(4).toLongLong();
        entry.fileSize = query.value(5).toLongLong();
        entry.filePieces = query.value(6).toInt();
        entries.insert(entry.key, entry);
    }
    if (query.lastError().isValid()) {
        *error = query.lastError().text();
        return false;
    }
    m_entries.swap(entries);
    return true;
}

void ValueStore::forgetBatch()
{
    for (qint64 fileId : qAsConst(m_batchUnreferenced))
        m_unreferenced.remove(fileId);
    m_batchUnreferenced.clear();
    m_batchChanges = 0;
    QString error;
    if (isOpen() && !load(&error))
        qCWarning(lcServer) << "cannot reload the values after a rollback:" << error;
}

bool ValueStore::commit(QString *error)
{
    const bool lost = m_batchLost;
    m_batchLost = false;
    if (m_inTransaction) {
        m_inTransaction = false;
        if (!m_db.commit()) {
            *error = m_db.lastError().text();
            m_db.rollback();
            forgetBatch();
            return false;
        }
        m_batchUnreferenced.clear();
        m_batchChanges = 0;
        if (m_durable && !m_checkpointTimer.isActive())
            m_checkpointTimer.start(CheckpointDelayMs);
    }
    if (lost) {
        *error = QStringLiteral("a storage failure rolled back changes made with them");
        return false;
    }
    return true;
}

void ValueStore::checkpoint()
{
    // Not inside a transaction: it would see only what is committed anyway,
    // and the next event-loop pass commits.
    if (!isOpen())
        return;
    if (m_inTransaction) {
        m_checkpointTimer.start(CheckpointDelayMs);
        return;
    }
    QString error;
    QSqlQuery *query = run(Checkpoint, {}, &error);
    if (query)
        query->finish();
    else
        qCWarning(lcServer) << "checkpoint failed:" << error;
}

QSqlQuery *ValueStore::run(Statement which, const QVariantList &values, QString *error)
{
    QSqlQuery *query = &m_statements[which];
    for (int i = 0; i < values.size(); ++i)
        query->bindValue(i, values.at(i));
    if (query->exec())
        return query;
    *error = query->lastError().text();
    query->finish();
    return nullptr;
}

ValueStore::Result ValueStore::failed(const QString &what, QString *error)
{
    *error = QStringLiteral("storage failed to %1: %2").arg(what, *error);
    if (m_inTransaction) {
        // One statement of a change may have failed after others had run;
        // only the whole transaction is sure to be undone.
        m_db.rollback();
        m_inTransaction = false;
        if (m_batchChanges > 0)
            m_batchLost = true;
        forgetBatch();
    }
    return Result::Failed;
}

bool ValueStore::begin(QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("storage is closed");
        return false;
    }
    if (m_inTransaction)
        return true;
    if (!m_db.transaction()) {
        *error = m_db.lastError().text();
        return false;
    }
    m_inTransaction = true;
    return true;
}

bool ValueStore::dropFile(qint64 fileId, QString *error)
{
    if (!fileId)
        return true;
    // A file being sent keeps its pieces until its last transfer ends.
    if (!m_pins.contains(fileId))
        return deleteFilePieces(fileId, error);
    m_unreferenced.insert(fileId);
    m_batchUnreferenced.append(fileId);
    return true;
}

ValueStore::Result ValueStore::put(const QString &key, bool global, const DataPackage &package,
                                   Entry *stored, QString *error)
{
    Entry entry;
    entry.key = key;
    entry.type = package.type();
    entry.global = global;
    const auto *file = dynamic_cast<const FilePackage *>(&package);
    if (file) {
        // The content goes into pieces of its own; the value keeps only the
        // identifier and name, from which the frame header is rebuilt.
        const FilePackage head(0, file->ident() ? file->ident()->clone() : nullptr,
                               file->fileName(), {});
        entry.payload = FrameBytes::encode(head).mid(BasicPackage::HeaderSize);
        entry.fileId = m_nextFileId;
    } else {
        // Cut in place: a copy of a large value would cost a fresh buffer.
        entry.payload = FrameBytes::encode(package).remove(0, BasicPackage::HeaderSize);
    }

    if (!begin(error))
        return failed(QStringLiteral("store"), error);
    const auto previous = m_entries.constFind(key);
    const qint64 previousFile = previous == m_entries.cend() ? 0 : previous->fileId;
    if (file) {
        for (const QByteArray *piece : file->chunks()) {
            if (piece->isEmpty())
                continue;
            if (!run(InsertPiece, {entry.fileId, entry.filePieces, *piece}, error))
                return failed(QStringLiteral("store"), error);
            ++entry.filePieces;
            entry.fileSize += piece->size();
        }
    }
    if (!run(ReplaceValue,
             {key, entry.type, entry.payload, int(global),
              file ? QVariant(entry.fileId) : QVariant(), entry.fileSize, entry.filePieces},
             error) ||
        !dropFile(previousFile, error))
        return failed(QStringLiteral("store"), error);
    if (file)
        ++m_nextFileId;
    ++m_batchChanges;
    m_entries.insert(key, entry);
    *stored = entry;
    return Result::Done;
}

ValueStore::Result ValueStore::get(const QString &key, Entry *entry, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("storage is closed");
        return failed(QStringLiteral("read"), error);
    }
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend())
        return Result::NotFound;
    *entry = *it;
    return Result::Done;
}

ValueStore::Result ValueStore::remove(const QString &key, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("storage is closed");
        return failed(QStringLiteral("remove"), error);
    }
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend())
        return Result::NotFound;
    const qint64 fileId = it->fileId;
    if (!begin(error) || !run(DeleteValue, {key}, error) || !dropFile(fileId, error))
        return failed(QStringLiteral("remove"), error);
    ++m_batchChanges;
    m_entries.remove(key);
    return Result::Done;
}

QList<ValueStore::Entry> ValueStore::globals(QString *error)
{
    QList<Entry> entries;
    if (!isOpen()) {
        *error = QStringLiteral("storage is closed");
        return entries;
    }
    for (const Entry &entry : qAsConst(m_entries)) {
        if (entry.global)
            entries.append(entry);
    }
    return entries;
}

bool ValueStore::clear(QString *error)
{
    if (!isOpen() || !m_pins.isEmpty()) {
        *error =
            isOpen() ? QStringLiteral("a file is being sent") : QStringLiteral("storage is closed");
        return false;
    }
    // What is pending goes first, so that clearing never commits half of it.
    if (!commit(error))
        return false;
    // No file stored since the store was new: no pieces to delete, and one
    // statement needs no transaction of its own.
    if (m_nextFileId == 1) {
        if (!run(DeleteAllValues, {}, error))
            return false;
        m_entries.clear();
        return true;
    }
    if (!m_db.transaction()) {
        *error = m_db.lastError().text();
        return false;
    }
    if (!run(DeleteAllValues, {}, error) || !run(DeleteAllPieces, {}, error) || !m_db.commit()) {
        if (error->isEmpty())
            *error = m_db.lastError().text();
        m_db.rollback();
        return false;
    }
    m_unreferenced.clear();
    m_entries.clear();
    m_nextFileId = 1;
    return true;
}

bool ValueStore::filePiece(qint64 fileId, int index, QByteArray *data, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("storage is closed");
        return false;
    }
    QSqlQuery *query = run(SelectPiece, {fileId, index}, error);
    if (!query)
        return false;
    const bool found = query->next();
    if (found)
        *data = query->value(0).toByteArray();
    query->finish();
    if (!found)
        *error = QStringLiteral("piece %1 of file %2 is missing").arg(index).arg(fileId);
    return found;
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
    return run(DeletePieces, {fileId}, error) != nullptr;
}
