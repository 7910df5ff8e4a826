#include "ValueStore.h"

#include "DataPackage.h"
#include "FilePackage.h"
#include "FrameBytes.h"
#include "IdentData.h"
#include "IncomingFile.h"
#include "ServerLog.h"
#include "StoredFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

// Keyed by the key itself rather than by a row id with an index on the key:
// a change then writes one page of the log instead of two.
const char ValueColumns[] = "(key TEXT PRIMARY KEY, type INTEGER NOT NULL, payload BLOB NOT NULL,"
                            " global INTEGER NOT NULL, file_id INTEGER, file_size INTEGER NOT NULL)"
                            " WITHOUT ROWID";

// A data folder of an earlier version: values in a table with a row id and a
// column once used for files kept in pieces, which are files of their own now.
// Run after "CREATE TABLE vals_keyed" with the columns above.
const char *const Upgrade[] = {
    "INSERT INTO vals_keyed SELECT key, type, payload, global, file_id, file_size FROM vals",
    "DROP TABLE vals",
    "ALTER TABLE vals_keyed RENAME TO vals",
    "DROP TABLE IF EXISTS file_pieces",
};

// By ValueStore::Statement.
const char *const Statements[] = {
    "INSERT OR REPLACE INTO vals VALUES (?, ?, ?, ?, ?, ?)",
    "DELETE FROM vals WHERE key = ?",
    "DELETE FROM vals",
    // Passive: it copies what it can without waiting for anything.
    "PRAGMA wal_checkpoint(PASSIVE)",
    // QSqlDatabase's transaction calls parse their statement every time.
    "BEGIN",
    "COMMIT",
    "ROLLBACK",
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
    bool ok = m_db.open();
    QString failure = m_db.lastError().text();
    for (int i = 0; ok && i < statements.size(); ++i) {
        QSqlQuery query(m_db);
        ok = runText(query, statements.at(i), {}, &failure);
    }
    if (ok)
        ok = createTable(&failure);
    if (ok) {
        QSqlQuery query(m_db);
        ok = runText(query, QStringLiteral("SELECT COALESCE(MAX(file_id), 0) FROM vals"), {},
                     &failure) &&
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
    if (ok && !inMemory) {
        m_filesDir = QDir(dataDir).filePath(QStringLiteral("files"));
        if (!QDir().mkpath(m_filesDir)) {
            failure = QStringLiteral("cannot create the folder %1").arg(m_filesDir);
            ok = false;
        }
    }
    if (ok)
        ok = load(&failure);
    if (ok)
        removeStrayFiles();
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
    m_entries.clear();
    m_memoryFiles.clear();
    m_openFiles.clear();
    m_filesDir.clear();
    m_durable = false;
}

bool ValueStore::createTable(QString *error)
{
    QSqlQuery query(m_db);
    if (!runText(
            query,
            QStringLiteral("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'vals'"),
            {}, error))
        return false;
    const bool present = query.next();
    const bool current =
        present && query.value(0).toString().contains(QLatin1String("WITHOUT ROWID"));
    query.finish();
    if (current)
        return true;
    if (!present)
        return runText(query, QStringLiteral("CREATE TABLE vals") + QLatin1String(ValueColumns), {},
                       error);
    qCInfo(lcServer) << "converting the values table of an earlier version";
    if (!m_db.transaction()) {
        *error = m_db.lastError().text();
        return false;
    }
    QStringList steps{QStringLiteral("CREATE TABLE vals_keyed") + QLatin1String(ValueColumns)};
    for (const char *statement : Upgrade)
        steps << QString::fromLatin1(statement);
    for (const QString &sql : qAsConst(steps)) {
        if (!runText(query, sql, {}, error)) {
            m_db.rollback();
            return false;
        }
    }
    if (m_db.commit())
        return true;
    *error = m_db.lastError().text();
    m_db.rollback();
    return false;
}

bool ValueStore::load(QString *error)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!runText(query,
                 QStringLiteral("SELECT key, type, payload, global, file_id, file_size FROM vals"),
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
        const QFileInfo content(m_filesDir.isEmpty() || entry.type != BasicPackage::File
                                    ? QString()
                                    : IncomingFile::pathOf(m_filesDir, entry.fileId));
        if (!content.filePath().isEmpty() &&
            (!content.isFile() || content.size() != entry.fileSize)) {
            // Unreadable as it is; a new value under its key replaces it.
            qCWarning(lcServer).noquote()
                << "the file of" << entry.key << "is missing or damaged and is not served";
            continue;
        }
        entries.insert(entry.key, entry);
    }
    if (query.lastError().isValid()) {
        *error = query.lastError().text();
        return false;
    }
    m_entries.swap(entries);
    return true;
}

void ValueStore::removeStrayFiles()
{
    if (m_filesDir.isEmpty())
        return;
    QSet<QString> named;
    for (const Entry &entry : qAsConst(m_entries)) {
        if (entry.type == BasicPackage::File)
            named.insert(QString::number(entry.fileId));
    }
    const QStringList present = QDir(m_filesDir).entryList(QDir::Files | QDir::Hidden);
    for (const QString &name : present) {
        if (!named.contains(name) && !QFile::remove(QDir(m_filesDir).filePath(name)))
            qCWarning(lcServer).noquote()
                << "cannot remove the stray file" << name << "in" << m_filesDir;
    }
}

void ValueStore::deleteFile(qint64 fileId)
{
    m_openFiles.remove(fileId);
    if (m_filesDir.isEmpty())
        m_memoryFiles.remove(fileId);
    else if (!QFile::remove(IncomingFile::pathOf(m_filesDir, fileId)))
        // Removed at the next open.
        qCWarning(lcServer) << "cannot remove the replaced file" << fileId;
}

void ValueStore::forgetBatch()
{
    for (qint64 fileId : qAsConst(m_batchAdded))
        deleteFile(fileId);
    m_batchAdded.clear();
    m_batchDropped.clear();
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
        QSqlQuery *committed = run(Commit, {}, error);
        if (!committed) {
            rollback();
            forgetBatch();
            return false;
        }
        committed->finish();
        // Only now no committed value names them.
        for (qint64 fileId : qAsConst(m_batchDropped))
            deleteFile(fileId);
        m_batchAdded.clear();
        m_batchDropped.clear();
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
        rollback();
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
    QSqlQuery *begun = run(Begin, {}, error);
    if (!begun)
        return false;
    begun->finish();
    m_inTransaction = true;
    return true;
}

void ValueStore::rollback()
{
    QString error;
    if (QSqlQuery *query = run(Rollback, {}, &error))
        query->finish();
}

std::unique_ptr<IncomingFile> ValueStore::receiveFile(qint64 size, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("storage is closed");
        return nullptr;
    }
    auto file = std::make_unique<IncomingFile>(m_nextFileId++, m_filesDir, size);
    if (!file->open(error))
        return nullptr;
    return file;
}

ValueStore::Result ValueStore::put(const QString &key, bool global, const DataPackage &package,
                                   IncomingFile *content, Entry *stored, QString *error)
{
    Entry entry;
    entry.key = key;
    entry.type = package.type();
    entry.global = global;
    const auto *file = dynamic_cast<const FilePackage *>(&package);
    if (file) {
        // The content is a file of its own; the value keeps only the
        // identifier and name, from which the frame header is rebuilt.
        const FilePackage head(0, file->ident() ? file->ident()->clone() : nullptr,
                               file->fileName(), {});
        entry.payload = FrameBytes::encode(head).mid(BasicPackage::HeaderSize);
        if (!content) {
            *error = QStringLiteral("storage failed to store: a file came without its content");
            return Result::Failed;
        }
    } else {
        // Cut in place: a copy of a large value would cost a fresh buffer.
        entry.payload = FrameBytes::encode(package).remove(0, BasicPackage::HeaderSize);
    }

    if (!begin(error))
        return failed(QStringLiteral("store"), error);
    const auto previous = m_entries.constFind(key);
    const qint64 previousFile = previous == m_entries.cend() ? 0 : previous->fileId;
    if (file) {
        // Durable under its name before any value names it. Its failure
        // leaves the other changes of the pending transaction alone.
        if (!content->finish(error))
            return Result::Failed;
        entry.fileId = content->id();
        entry.fileSize = content->received();
        if (m_filesDir.isEmpty())
            m_memoryFiles.insert(entry.fileId,
                                 QSharedPointer<StoredFile>::create(content->takePieces()));
        m_batchAdded.append(entry.fileId);
    }
    if (!run(ReplaceValue,
             {key, entry.type, entry.payload, int(global),
              file ? QVariant(entry.fileId) : QVariant(), entry.fileSize},
             error))
        return failed(QStringLiteral("store"), error);
    if (previousFile)
        m_batchDropped.append(previousFile);
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
    if (!begin(error) || !run(DeleteValue, {key}, error))
        return failed(QStringLiteral("remove"), error);
    if (fileId)
        m_batchDropped.append(fileId);
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
    if (!isOpen()) {
        *error = QStringLiteral("storage is closed");
        return false;
    }
    // What is pending goes first, so that clearing never commits half of it.
    if (!commit(error) || !run(DeleteAllValues, {}, error))
        return false;
    // Transfers under way keep their content: an open file outlives its name.
    m_entries.clear();
    m_memoryFiles.clear();
    m_openFiles.clear();
    removeStrayFiles();
    return true;
}

QSharedPointer<StoredFile> ValueStore::fileContent(const Entry &entry, QString *error)
{
    if (m_filesDir.isEmpty()) {
        const QSharedPointer<StoredFile> file = m_memoryFiles.value(entry.fileId);
        if (!file)
            *error = QStringLiteral("the content of %1 is missing").arg(entry.key);
        return file;
    }
    QSharedPointer<StoredFile> file = m_openFiles.value(entry.fileId).toStrongRef();
    if (!file) {
        file.reset(StoredFile::open(IncomingFile::pathOf(m_filesDir, entry.fileId), error));
        if (file) {
            // Handles whose transfers have all ended are forgotten here.
            for (auto it = m_openFiles.begin(); it != m_openFiles.end();) {
                if (it->isNull())
                    it = m_openFiles.erase(it);
                else
                    ++it;
            }
            m_openFiles.insert(entry.fileId, file);
        }
    }
    return file;
}
