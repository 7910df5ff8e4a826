#ifndef VALUESTORE_H
#define VALUESTORE_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <vector>

class DataPackage;

/// The server's values in SQLite, keyed by the identifier's text form. A value
/// is kept as its package's payload in canonical encoding, so it can be sent
/// back under any package id. A file's content is kept apart in pieces of at
/// most 64 KiB and read back piece by piece, so that no large file is ever
/// held whole. Every change is its own transaction, committed before the
/// caller answers; in WAL mode a committed change survives the process being
/// killed. The database is locked exclusively, so two servers never share a
/// data folder.
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
    /// Checkpoints and closes the database; later calls fail.
    void close();

    /// Stores `package` under `key`, replacing a value of any type.
    Result put(const QString &key, bool global, const DataPackage &package, Entry *stored,
               QString *error);
    Result get(const QString &key, Entry *entry, QString *error);
    Result remove(const QString &key, QString *error);
    /// Every value whose identifier is a globals one.
    QList<Entry> globals(QString *error);

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
        SelectFileId,
        InsertPiece,
        ReplaceValue,
        SelectValue,
        DeleteValue,
        SelectGlobals,
        SelectPiece,
        DeletePieces,
        DeleteAllValues,
        DeleteAllPieces,
        StatementCount,
    };

    bool isOpen() const;
    /// Runs statement `which` with `values` bound in order; the caller reads
    /// any rows and then calls finish() on the query.
    QSqlQuery *run(Statement which, const QVariantList &values, QString *error);
    Result failed(const QString &what, QString *error);
    /// Starts a change of `key`, telling whether it has a value and its file.
    bool begin(const QString &key, bool *exists, qint64 *fileId, QString *error);
    /// Commits a change that replaced or removed file `fileId` (0: none).
    bool commitDropping(qint64 fileId, QString *error);
    bool deleteFilePieces(qint64 fileId, QString *error);

    QString m_connection;
    QSqlDatabase m_db;
    // Parsing a statement cost more than running it: over a third of a
    // request's time, and most of its allocations.
    std::vector<QSqlQuery> m_statements;
    qint64 m_nextFileId = 1;
    QHash<qint64, int> m_pins;
    QSet<qint64> m_unreferenced;
};

#endif // VALUESTORE_H
