#ifndef VALUESTORE_H
#define VALUESTORE_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSharedPointer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <memory>
#include <vector>

class DataPackage;
class IncomingFile;
class StoredFile;

/// The server's values, keyed by the identifier's text form: held in memory,
/// where every read is answered, and recorded in SQLite, which is loaded at
/// open. A value is kept as its package's payload in canonical encoding, so it
/// can be sent back under any package id. A file's content is kept apart, in
/// a file of its own in the folder "files" (in memory for a store without a
/// data folder), named by a number that SQLite records with the value: a
/// replaced file gets a new number, so the old content stays whole until the
/// change is committed, and a file no committed value names is removed at
/// open. No large file is ever held whole in memory. Changes are
/// visible in memory at once and gathered into one transaction until
/// commit(): the caller commits before it answers any of them, and in WAL
/// mode a committed change survives the process being killed. The WAL is
/// checkpointed from a timer after writes, never on a commit, so that no
/// answer waits for one. The database is locked exclusively, so two servers
/// never share a data folder.
class ValueStore
{
public:
    enum class Result
    {
        Done,
        NotFound,
        Failed,
    };

    /// One stored value. For a file, `payload` holds identifier and name only
    /// and the `fileSize` bytes of content lie in file `fileId`.
    struct Entry
    {
        QString key;
        int type = 0;
        bool global = false;
        QByteArray payload;
        qint64 fileId = 0;
        qint64 fileSize = 0;
    };

    ValueStore();
    ~ValueStore();
    ValueStore(const ValueStore &) = delete;
    ValueStore &operator=(const ValueStore &) = delete;

    /// Opens (creating if need be) the database in `dataDir`, or one in
    /// memory only.
    bool open(const QString &dataDir, bool inMemory, QString *error);
    /// Commits what is pending, checkpoints and closes the database; later
    /// calls fail.
    void close();

    /// A file of `size` bytes about to arrive, to be handed to put() with
    /// its package; null with `error` set when it does not fit on the disk.
    std::unique_ptr<IncomingFile> receiveFile(qint64 size, QString *error);
    /// Stores `package` under `key`, replacing a value of any type; a file
    /// package's content is `content`, which is stored first. Like remove()
    /// it joins the pending transaction; a failure of the database abandons
    /// the whole of it, and commit() then reports that.
    Result put(const QString &key, bool global, const DataPackage &package, IncomingFile *content,
               Entry *stored, QString *error);
    Result get(const QString &key, Entry *entry, QString *error);
    Result remove(const QString &key, QString *error);
    /// Every value whose identifier is a globals one.
    QList<Entry> globals(QString *error);

    /// Whether changes wait for commit(), or a failure of some for its report.
    bool needsCommit() const { return m_inTransaction || m_batchLost; }
    /// Makes the pending changes durable. False when they, or some of them,
    /// are lost; memory then holds what the database holds.
    bool commit(QString *error);

    /// Removes every value and file, leaving the store as a new one.
    bool clear(QString *error);

    /// The content of the file of `entry`, for one transfer: it stays
    /// readable after the value is replaced or removed.
    QSharedPointer<StoredFile> fileContent(const Entry &entry, QString *error);

private:
    /// The statements the store runs, prepared once when it opens.
    enum Statement
    {
        ReplaceValue,
        DeleteValue,
        DeleteAllValues,
        Checkpoint,
        Begin,
        Commit,
        Rollback,
        StatementCount,
    };

    bool isOpen() const;
    /// Runs statement `which` with `values` bound in order; the caller reads
    /// any rows and then calls finish() on the query.
    QSqlQuery *run(Statement which, const QVariantList &values, QString *error);
    /// Rolls back the pending transaction after a failure of `what`.
    Result failed(const QString &what, QString *error);
    /// Opens the pending transaction unless it is open.
    bool begin(QString *error);
    void rollback();
    /// Creates the values table, or brings one of an earlier version up to
    /// date.
    bool createTable(QString *error);
    /// Reads every value into memory, replacing what memory held.
    bool load(QString *error);
    /// Removes the files in the files folder that no value names: the
    /// temporary files of transfers and the files of changes cut short.
    void removeStrayFiles();
    void deleteFile(qint64 fileId);
    /// After a rollback: memory and the files follow the database.
    void forgetBatch();
    void checkpoint();

    QString m_connection;
    QSqlDatabase m_db;
    // Parsing a statement cost more than running it: over a third of a
    // request's time, and most of its allocations.
    std::vector<QSqlQuery> m_statements;
    QHash<QString, Entry> m_entries;
    // Empty for a store in memory, whose files are in m_memoryFiles.
    QString m_filesDir;
    QHash<qint64, QSharedPointer<StoredFile>> m_memoryFiles;
    // Files being sent share one handle.
    QHash<qint64, QWeakPointer<StoredFile>> m_openFiles;
    qint64 m_nextFileId = 1;
    // Files stored by the pending transaction, deleted if it is rolled back,
    // and files it replaced or removed, deleted once it is committed.
    QList<qint64> m_batchAdded;
    QList<qint64> m_batchDropped;
    int m_batchChanges = 0;
    bool m_inTransaction = false;
    // A failure rolled back changes whose callers wait for commit().
    bool m_batchLost = false;
    bool m_durable = false;
    QTimer m_checkpointTimer;
};

#endif // VALUESTORE_H
