#include "Vdsctl.h"

#include "ClientSession.h"
#include "ExitCode.h"
#include "TransferProgress.h"
#include "Watcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {

constexpr qint64 CopyBlockSize = 1024 * 1024;

bool copyData(QIODevice &from, QIODevice &to)
{
    while (true) {
        const QByteArray block = from.read(CopyBlockSize);
        if (block.isEmpty())
            return from.atEnd() || from.isSequential();
        if (to.write(block) != block.size())
            return false;
    }
}

bool isDanglingLink(const QFileInfo &info)
{
    return info.isSymLink() && !info.exists();
}

QString danglingLinkText(const QString &path)
{
    return QStringLiteral("'%1' is a symbolic link to nothing; vdsctl writes through a link "
                          "only to an existing file")
        .arg(path);
}

/// Puts the fetched file `received` at `target`. A new name gets the file
/// moved there whole. An existing destination is written through as cp and
/// curl -o do, never replaced: a regular file is truncated and keeps its
/// owner, mode and links, a FIFO or a device takes the content, a symbolic
/// link is followed to the file it names (the user named the link, as they
/// would for cp). Returns what went wrong, or nothing.
QString place(const QString &received, const QString &target)
{
    const QFileInfo info(target);
    if (isDanglingLink(info))
        return danglingLinkText(target);
    if (info.isDir())
        return QStringLiteral("'%1' is a folder").arg(target);
    // Renaming never replaces a file that appeared meanwhile: Qt refuses.
    if (!info.exists() && QFile::rename(received, target))
        return QString();
    QFile in(received);
    QFile out(target);
    if (!in.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the fetched file: %1").arg(in.errorString());
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || !copyData(in, out) || !out.flush())
        return QStringLiteral("cannot write '%1': %2").arg(target, out.errorString());
    return QString();
}

} // namespace

int Vdsctl::run(const QStringList &arguments)
{
    CommandLine commandLine;
    switch (commandLine.parse(arguments)) {
    case CommandLine::Help:
    case CommandLine::Version:
        Output::writeOut(commandLine.text().toUtf8());
        return ExitOk;
    case CommandLine::Invalid:
        return fail(ExitUsage, commandLine.text());
    case CommandLine::Run:
        break;
    }
    m_request = commandLine.request();
    m_output = Output(m_request.format);

    ClientSession session;
    const QString &command = m_request.command;
    using Handler = int (Vdsctl::*)(ClientSession &);
    const std::pair<const char *, Handler> handlers[] = {
        {"set", &Vdsctl::set},       {"get", &Vdsctl::get},          {"type", &Vdsctl::type},
        {"rm", &Vdsctl::remove},     {"watch", &Vdsctl::watch},      {"cmd", &Vdsctl::command},
        {"status", &Vdsctl::status}, {"put-file", &Vdsctl::putFile}, {"get-file", &Vdsctl::getFile},
    };
    for (const auto &handler : handlers) {
        if (command == QLatin1String(handler.first))
            return (this->*handler.second)(session);
    }
    return fail(ExitUsage, QStringLiteral("unknown command '%1'").arg(command));
}

int Vdsctl::set(ClientSession &session)
{
    return finish(session, session.set(m_request.names.first(), m_request.value));
}

int Vdsctl::get(ClientSession &session)
{
    const ValueName &name = m_request.names.first();
    TypedValue value;
    const int code = session.get(name, &value);
    if (code != ExitOk)
        return finish(session, code);
    if (value.type() == TypedValue::File)
        return fail(
            ExitFailed,
            QStringLiteral("%1 is a file value; fetch it with get-file").arg(name.display()));
    m_output.value(name, value);
    return ExitOk;
}

int Vdsctl::type(ClientSession &session)
{
    TypedValue::Type type = TypedValue::String;
    const int code = session.type(m_request.names.first(), &type);
    if (code == ExitOk)
        m_output.type(m_request.names.first(), type);
    return finish(session, code);
}

int Vdsctl::remove(ClientSession &session)
{
    return finish(session, session.remove(m_request.names.first()));
}

int Vdsctl::watch(ClientSession &session)
{
    Watcher watcher(session, m_output, m_request.names);
    watcher.setCount(m_request.count);
    watcher.setTimeout(m_request.timeoutMs);
    watcher.setVerbose(m_request.verbose || TransferProgress::onTerminal());
    return watcher.run();
}

int Vdsctl::command(ClientSession &session)
{
    return finish(session,
                  session.command(m_request.arguments.first(), m_request.arguments.mid(1)));
}

int Vdsctl::status(ClientSession &session)
{
    return finish(session, session.status(m_request.arguments.first()));
}

int Vdsctl::putFile(ClientSession &session)
{
    QString path = m_request.arguments.first();
    QTemporaryDir inputDir;
    if (path == QLatin1String("-")) {
        // The library sends a file by its path, so the input becomes one.
        QFile in;
        QFile copy(inputDir.filePath(m_request.fileName));
        if (!inputDir.isValid() || !in.open(stdin, QIODevice::ReadOnly) ||
            !copy.open(QIODevice::WriteOnly) || !copyData(in, copy))
            return fail(ExitFailed, QStringLiteral("cannot keep standard input in a file"));
        path = copy.fileName();
    }
    const qint64 size = QFileInfo(path).size();
    std::unique_ptr<TransferProgress> progress;
    if (TransferProgress::onTerminal() && size >= TransferProgress::MinimumSize)
        progress = std::make_unique<TransferProgress>(QStringLiteral("sending"), size);
    const int code = session.putFile(m_request.names.first(), path);
    if (progress && code == ExitOk)
        progress->finish(QStringLiteral("sent"), size);
    progress.reset();
    return finish(session, code);
}

int Vdsctl::getFile(ClientSession &session)
{
    const ValueName &name = m_request.names.first();
    const QString destination = m_request.arguments.value(0, QStringLiteral("."));
    const bool toOutput = destination == QLatin1String("-");
    const QFileInfo destinationInfo(destination);
    const bool intoFolder = !toOutput && destinationInfo.isDir();
    const QString folder =
        intoFolder ? destinationInfo.absoluteFilePath() : destinationInfo.absolutePath();
    if (!toOutput && !QFileInfo(folder).isDir())
        return fail(ExitUsage, QStringLiteral("the folder '%1' does not exist").arg(folder));
    if (!toOutput && !intoFolder && isDanglingLink(destinationInfo))
        return fail(ExitUsage, danglingLinkText(destination));

    // The library saves under the name the server stores with the file; a
    // fresh folder tells which file arrived. It lies beside a new or regular
    // destination, so that a new file is renamed into place without copying;
    // standard output, a device or a FIFO take a copy, and their folder
    // (such as /dev) need not take files.
    const bool beside =
        !toOutput && (intoFolder || !destinationInfo.exists() || destinationInfo.isFile());
    const QString pattern = QStringLiteral(".vdsctl-XXXXXX");
    std::unique_ptr<QTemporaryDir> fetchDir;
    if (beside)
        fetchDir = std::make_unique<QTemporaryDir>(QDir(folder).filePath(pattern));
    if (!fetchDir || !fetchDir->isValid())
        fetchDir = std::make_unique<QTemporaryDir>(QDir::temp().filePath(pattern));
    if (!fetchDir->isValid())
        return fail(ExitUsage, QStringLiteral("cannot write into '%1'").arg(QDir::tempPath()));
    std::unique_ptr<TransferProgress> progress;
    if (TransferProgress::onTerminal())
        progress = std::make_unique<TransferProgress>(QStringLiteral("receiving"), -1);
    const int code = session.getFile(name, fetchDir->path());
    const QFileInfoList arrived =
        QDir(fetchDir->path()).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    const qint64 size = arrived.isEmpty() ? 0 : arrived.first().size();
    if (progress && code == ExitOk)
        progress->finish(QStringLiteral("received"), size);
    progress.reset();
    if (code != ExitOk)
        return finish(session, code);
    if (arrived.size() != 1)
        return fail(ExitFailed,
                    QStringLiteral("the server sent no file for %1").arg(name.display()));

    const QString received = arrived.first().absoluteFilePath();
    if (toOutput) {
        QFile file(received);
        QFile out;
        if (!file.open(QIODevice::ReadOnly) || !out.open(stdout, QIODevice::WriteOnly) ||
            !copyData(file, out) || !out.flush())
            return fail(ExitFailed, QStringLiteral("cannot write the file to standard output"));
        return ExitOk;
    }
    const QString target =
        intoFolder ? QDir(destination).filePath(arrived.first().fileName()) : destination;
    const QString problem = place(received, target);
    if (!problem.isEmpty())
        return fail(ExitUsage, problem);
    m_output.savedFile(name, target, size);
    return ExitOk;
}

int Vdsctl::finish(const ClientSession &session, int exitCode) const
{
    if (exitCode != ExitOk)
        Output::error(session.errorText());
    return exitCode;
}

int Vdsctl::fail(int exitCode, const QString &text) const
{
    Output::error(text);
    return exitCode;
}
