#ifndef DATAFOLDER_H
#define DATAFOLDER_H

#include <QLockFile>
#include <QString>

#include <memory>

/// The folder a durable server keeps its data in, claimed for this process:
/// one server per folder. A lock left by a killed server is taken over.
class DataFolder
{
public:
    /// Creates the folder when needed and locks it; false with `error` naming
    /// what is wrong: a file in its place, no permission to create or write
    /// it, or another server (with its pid) using it.
    bool claim(const QString &path, QString *error);
    /// After a failed claim: whether another running server holds the folder.
    bool heldByAnother() const { return m_heldByAnother; }

private:
    std::unique_ptr<QLockFile> m_lock;
    bool m_heldByAnother = false;
};

#endif // DATAFOLDER_H
