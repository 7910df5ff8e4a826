#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include "Output.h"
#include "TypedValue.h"
#include "ValueName.h"

#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineParser;

/// vdsctl's command line: a command, its value names and arguments, and the
/// options, checked against what each command accepts before anything is
/// sent. Also the help texts of the tool and of each command.
class CommandLine
{
public:
    enum Outcome
    {
        Run,     ///< request() holds what to do
        Help,    ///< text() is the help to print
        Version, ///< text() is the version line
        Invalid, ///< text() says what is wrong
    };

    struct Request
    {
        QString command;
        Output::Format format = Output::Text;
        /// One value, or the values a watch follows.
        QList<ValueName> names;
        /// The value to store (set).
        TypedValue value;
        /// cmd: the command and its parameters; status: the text; put-file:
        /// the local file; get-file: the destination, if given.
        QStringList arguments;
        /// put-file: the name stored with a file read from standard input.
        QString fileName;
        int count = 0;     ///< watch: end after this many changes; 0 for no limit
        int timeoutMs = 0; ///< watch: end after this time; 0 for no limit
        bool verbose = false;
    };

    /// `arguments` as QCoreApplication gives them, the program first.
    Outcome parse(const QStringList &arguments);
    const Request &request() const { return m_request; }
    const QString &text() const { return m_text; }

private:
    Outcome parseCommand(const QString &command, const QStringList &arguments);
    bool readFormat(const QString &format);
    bool readNames(const QCommandLineParser &parser, const QStringList &keys);
    bool readSetValue(const QCommandLineParser &parser, const QStringList &items);
    bool readWatchLimits(const QCommandLineParser &parser);
    Outcome invalid(const QString &text);

    Request m_request;
    QString m_text;
};

#endif // COMMANDLINE_H
