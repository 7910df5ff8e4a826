#ifndef VALUESTORE_H
#define VALUESTORE_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <vector>

class DataPackage;

/// The server's values, keyed by the identifier's text form: held in memory,
/// where every read is answered, and recorded in SQLite, which is loaded at
/// open. A value is kept as its package's payload in canonical encoding, so it
/// can be sent back under any package id. A file's content is kept apart in
/// SQLite only, in pieces of at most 64 KiB read back piece by piece, so that
/// no large file is ever held whole; memory holds its entry. Changes are
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
    /// and the content lies in `filePieces` pieces of file `fileId`.
    struct Entry
    {
        QString key;
        int type = 0;
        bool global = false;
        QByteArray payload;
        qint64 fileId = 0;
        qint64 fileSize = 0;
        int filePieces = 0;
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

    /// Stores `package` under `key`, replacing a value of any type. Like
    /// remove() it joins the pending transaction; a failure abandons the
    /// whole of it, and commit() then reports that.
    Result put(const QString &key, bool global, const DataPackage &package, Entry *stored,
               QString *error);
    Result get(const QString &key, Entry *entry, QString *error);
    Result remove(const QString &key, QString *error);
    /// Every value whose identifier is a globals one.
    QList<Entry> globals(QString *error);

    /// Whether changes wait for commit(), or a failure of some for its report.
    bool needsCommit() const { return m_inTransaction || m_batchLost; }
    /// Makes the pending changes durable. False when they, or some of them,
    /// are lost; memory then holds what the database holds.
    bool commit(QString *error);

    /// Removes every value and file, leaving the store as a new one; fails
    /// while a file is pinned.
    bool clear(QString *error);

    /// Piece `index` of file `fileId`.
    bool filePiece(qint64 fileId, int index, QByteArray *data, QString *error);
    /// While a file is pinned its pieces outlive a replacement or removal of
    /// its value, so a transfer that has begun can finish.
    void pinFile(qint64 fileId);
    void unpinFile(qint64 fileId);

private:
    /// The statements the store runs, prepared once when it opens.
    enum Statement
    {
        InsertPiece,
        ReplaceValue,
        DeleteValue,
        SelectPiece,
        DeletePieces,
        DeleteAllValues,
        DeleteAllPieces,
        Checkpoint,
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
    /// Ends a change that replaced or removed file `fileId` (0: none).
    bool dropFile(qint64 fileId, QString *error);
    bool deleteFilePieces(qint64 fileId, QString *error);
    /// Reads every value into memory, replacing what memory held.
    bool load(QString *error);
    /// After a rollback: memory and the file bookkeeping follow the database.
    void forgetBatch();
    void checkpoint();

    QString m_connection;
    QSqlDatabase m_db;
    // Parsing a statement cost more than running it: over a third of a
    // request's time, and most of its allocations.
    std::vector<QSqlQuery> m_statements;
    QHash<QString, Entry> m_entries;
    qint64 m_nextFileId = 1;
    QHash<qint64, int> m_pins;
    QSet<qint64> m_unreferenced;
    // Files unreferenced by the pending transaction, referenced again if it
    // is rolled back.
    QList<qint64> m_batchUnreferenced;
    int m_batchChanges = 0;
    bool m_inTransaction = false;
    // A failure rolled back changes whose callers wait for commit().
    bool m_batchLost = false;
    bool m_durable = false;
    QTimer m_checkpointTimer;
};

#endif // VALUESTORE_H
