#include "CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>

namespace {

enum KindMask
{
    RuntimeOnly = 1 << ValueName::Runtime,
    RuntimeAndGlobals = RuntimeOnly | 1 << ValueName::Globals,
    AnyKind = RuntimeAndGlobals | 1 << ValueName::Opcua | 1 << ValueName::Mqtt,
    NoName = 0,
};

struct CommandInfo
{
    const char *name;
    const char *syntax;
    int minArguments;
    int maxArguments; // -1: no limit
    int kinds;        // KindMask: which values the command can name
    const char *summary;
    const char *details;
};

const CommandInfo commands[] = {
    {"set", "<key> <value>...", 1, -1, AnyKind,
     "store a value (--type gives its type, default string)",
     "Stores a value, replacing a value of any type under that name. --type gives\n"
     "the type (default string); a list type takes one argument per item.\n"
     "Globals values are int, double, string or variant (a variant is stored as\n"
     "an int, a double or a string); OPC UA and MQTT values are int, double or\n"
     "string. A variant is written as JSON (5, 2.5, \"text\", [1,\"a\"], {\"k\":1});\n"
     "text that is not JSON is a string. Negative numbers are written as they are;\n"
     "nan and inf only with --allow-nonfinite. A list without items is empty.\n"
     "A single value \"-\" reads standard input: all of it for a single value (less\n"
     "its final line break), one item per line for a list."},
    {"get", "<key>", 1, 1, AnyKind, "print a value in its own type",
     "Prints a value in the type it is stored as. Text output is the bare value,\n"
     "one line per list item; JSON output is one object with the members kind,\n"
     "key, uuid (runtime values), type and value. A file value is fetched with\n"
     "get-file."},
    {"rm", "<key>", 1, 1, RuntimeAndGlobals, "remove a value",
     "Removes a runtime or globals value. Removing a value that does not exist\n"
     "succeeds."},
    {"type", "<key>", 1, 1, AnyKind, "print the type of a value",
     "Prints the type a value is stored as: int, double, string, bool, strings,\n"
     "doubles, ints, variant or file."},
    {"watch", "<key>...", 1, -1, RuntimeOnly, "print one line per change of runtime values",
     "Switches change notifications on for one or more runtime values and prints\n"
     "one line per change, with the new value: in text the value's name (key or\n"
     "key/uuid) and the value, list items separated by \", \", or \"(removed)\";\n"
     "in JSON one object per line, {\"removed\":true} for a removal. Give one\n"
     "--uuid for all keys, or one per key in their order.\n"
     "Runs until SIGINT or SIGTERM (exit code 0), until --count changes were\n"
     "printed, or until --timeout seconds have passed (exit code 4 when --count\n"
     "was given and not reached by then). Every 2 seconds the watch renews its\n"
     "subscriptions, so that it follows a server that was started again, and\n"
     "ends with exit code 3 when the server cannot be reached."},
    {"cmd", "<command> [parameter...]", 1, -1, NoName, "send a command to the server",
     "Sends a command and its parameters to the server, and returns once the\n"
     "server has received it. \"clear clients cache\" makes the server tell every\n"
     "connected client to drop its cached values; other commands are logged."},
    {"status", "<text>", 1, 1, NoName, "report a status text to the server",
     "Reports a status text for this client to the server, which logs it, and\n"
     "returns once the server has received it."},
    {"put-file", "<key> <file>", 2, 2, RuntimeOnly, "store a file",
     "Stores a local file as a runtime value, under the file's name. \"-\" reads\n"
     "the content from standard input, stored under --name. On a terminal, a\n"
     "file above 4 MiB shows the elapsed time on standard error while it is sent.\n"
     "The server takes a file up to its frame limit, 1 GiB unless VelDataServer\n"
     "runs with --max-frame-size, less about a hundred bytes for the request's\n"
     "header, key and name; a larger one is refused at once with \"Request too\n"
     "large: N bytes, limit M\" (exit code 1)."},
    {"get-file", "<key> [destination]", 1, 2, RuntimeOnly, "fetch a file",
     "Fetches a file value into the destination: a folder (by default the current\n"
     "folder), where the file gets the name stored with it; a file name; or \"-\"\n"
     "for standard output. An existing file is written through as cp does: a\n"
     "regular file is truncated, a FIFO or a device takes the content, a symbolic\n"
     "link is followed (a link to nothing is refused). Prints the path of the\n"
     "saved file. On a terminal, a fetch that takes longer than half a second\n"
     "shows the elapsed time and then the size on standard error."},
};

const char exitCodesText[] = "Exit codes:\n"
                             "  0  success\n"
                             "  1  the value does not exist, or the server refused the request\n"
                             "  2  usage error\n"
                             "  3  the server cannot be reached, or the connection to it was\n"
                             "     lost during the request\n"
                             "  4  time-out: no answer in time, or watch --timeout ended before\n"
                             "     --count changes\n";

const CommandInfo *findCommand(const QString &name)
{
    for (const CommandInfo &info : commands) {
        if (name == QLatin1String(info.name))
            return &info;
    }
    return nullptr;
}

QString usageLine(const CommandInfo &info)
{
    return QStringLiteral("vdsctl %1 [options] %2").arg(info.name, info.syntax);
}

QCommandLineOption outputOption()
{
    return QCommandLineOption(QStringLiteral("output"),
                              QStringLiteral("text (default): the bare value, one list item per "
                                             "line; json: one JSON object per line."),
                              QStringLiteral("format"), QStringLiteral("text"));
}

QCommandLineOption helpOption()
{
    return QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                              QStringLiteral("Show this help."));
}

QString mainHelp()
{
    QString text = QStringLiteral(
        "Usage: vdsctl [--output text|json] <command> [options] [arguments]\n"
        "\n"
        "Reads, changes and watches the values kept by the local VelDataServer, which\n"
        "is started when it is not running (unless its settings forbid that).\n"
        "\n"
        "Commands:\n");
    int width = 0;
    for (const CommandInfo &info : commands)
        width = qMax(width, int(qstrlen(info.name) + 1 + qstrlen(info.syntax)));
    for (const CommandInfo &info : commands) {
        const QString call = QStringLiteral("%1 %2").arg(info.name, info.syntax);
        text += QStringLiteral("  %1  %2\n").arg(call, -width).arg(info.summary);
    }
    text += QStringLiteral(
        "\n"
        "A value is named by its key and a uuid (-u; runtime values, the default), or\n"
        "by its key and one of --globals, --opcua, --mqtt.\n"
        "\"vdsctl <command> --help\" tells more about each command.\n"
        "\n"
        "Options:\n"
        "  --output <format>  text (default): the bare value, one list item per line;\n"
        "                     json: one JSON object per line\n"
        "  -h, --help         show this help\n"
        "  --version          show the version\n"
        "\n");
    return text + QLatin1String(exitCodesText);
}

QString commandHelp(const CommandInfo &info, const QCommandLineParser &parser)
{
    // Qt's own usage line names the program by its full path; the option
    // list below it is kept as Qt formats it.
    const QString generated = parser.helpText();
    const QString optionList = generated.mid(generated.indexOf(QLatin1String("Options:")));
    return QStringLiteral("Usage: %1\n\n%2\n\n%3\n\n%4")
        .arg(usageLine(info), QLatin1String(info.details), optionList.trimmed(),
             QLatin1String(exitCodesText));
}

// QCommandLineParser takes "-5" for an option; a number is never one, so
// negative numbers are hidden from it behind private-use placeholders.
const QChar placeholderMark(0xE000);

QStringList hideNegativeNumbers(const QStringList &arguments, QStringList *hidden)
{
    static const QRegularExpression negative(QStringLiteral("^-(\\d|\\.\\d|inf$|nan$)"),
                                             QRegularExpression::CaseInsensitiveOption);
    QStringList shown;
    for (const QString &argument : arguments) {
        if (negative.match(argument).hasMatch()) {
            shown.append(placeholderMark + QString::number(hidden->size()));
            hidden->append(argument);
        } else {
            shown.append(argument);
        }
    }
    return shown;
}

QString restore(const QString &argument, const QStringList &hidden)
{
    if (!argument.startsWith(placeholderMark))
        return argument;
    return hidden.value(argument.mid(1).toInt(), argument);
}

QStringList restore(const QStringList &arguments, const QStringList &hidden)
{
    QStringList restored;
    for (const QString &argument : arguments)
        restored.append(restore(argument, hidden));
    return restored;
}

QByteArray readStandardInput()
{
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return QByteArray();
    return in.readAll();
}

// One item per line; the final line break ends the last item rather than
// starting an empty one.
QStringList inputItems(bool list)
{
    QString text = QString::fromUtf8(readStandardInput());
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    if (!list)
        return {text};
    if (text.isEmpty())
        return {};
    QStringList items = text.split(QLatin1Char('\n'));
    for (QString &item : items) {
        if (item.endsWith(QLatin1Char('\r')))
            item.chop(1);
    }
    return items;
}

bool allowedType(ValueName::Kind kind, TypedValue::Type type)
{
    switch (kind) {
    case ValueName::Runtime:
        return type != TypedValue::File;
    case ValueName::Globals:
        return type == TypedValue::Int || type == TypedValue::Double ||
               type == TypedValue::String || type == TypedValue::Variant;
    case ValueName::Opcua:
    case ValueName::Mqtt:
        return type == TypedValue::Int || type == TypedValue::Double || type == TypedValue::String;
    }
    return false;
}

void addCommandOptions(QCommandLineParser &parser, const CommandInfo &info)
{
    const QLatin1String name(info.name);
    parser.addOption(outputOption());
    parser.addOption(helpOption());
    if (info.kinds != NoName) {
        parser.addOption({{QStringLiteral("u"), QStringLiteral("uuid")},
                          name == QLatin1String("watch")
                              ? QStringLiteral("The uuid of the runtime values: once for all keys, "
                                               "or once per key (default: empty).")
                              : QStringLiteral("The uuid of the runtime value (default: empty)."),
                          QStringLiteral("uuid")});
        const std::pair<ValueName::Kind, QString> kindOptions[] = {
            {ValueName::Globals, QStringLiteral("Name a globals value.")},
            {ValueName::Opcua, QStringLiteral("Name an OPC UA value.")},
            {ValueName::Mqtt, QStringLiteral("Name an MQTT value.")}};
        for (const auto &kindOption : kindOptions) {
            // Known to every command that names values, so that naming a kind
            // the command cannot handle gets a message that says so.
            QCommandLineOption option(ValueName(kindOption.first, QString()).kindText(),
                                      kindOption.second);
            if (!(info.kinds & (1 << kindOption.first)))
                option.setFlags(QCommandLineOption::HiddenFromHelp);
            parser.addOption(option);
        }
    }
    if (name == QLatin1String("set"))
        parser.addOption({{QStringLiteral("t"), QStringLiteral("type")},
                          QStringLiteral("int, double, string (default), bool, strings, doubles, "
                                         "ints or variant."),
                          QStringLiteral("type"),
                          QStringLiteral("string")});
    if (name == QLatin1String("set"))
        parser.addOption({QStringLiteral("allow-nonfinite"),
                          QStringLiteral("Accept nan, inf and -inf as doubles.")});
    if (name == QLatin1String("watch")) {
        parser.addOption({{QStringLiteral("n"), QStringLiteral("count")},
                          QStringLiteral("End after <N> changes."),
                          QStringLiteral("N")});
        parser.addOption({QStringLiteral("timeout"),
                          QStringLiteral("End after <seconds> (fractions allowed)."),
                          QStringLiteral("seconds")});
        parser.addOption(
            {{QStringLiteral("v"), QStringLiteral("verbose")},
             QStringLiteral("Say on standard error when the watch has begun (always on a "
                            "terminal).")});
    }
    if (name == QLatin1String("put-file"))
        parser.addOption({QStringLiteral("name"),
                          QStringLiteral("The file name stored with content read from standard "
                                         "input (default: stdin)."),
                          QStringLiteral("name"), QStringLiteral("stdin")});
}

} // namespace

CommandLine::Outcome CommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    // Everything after the command belongs to the command's own parser.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption output = outputOption();
    const QCommandLineOption help = helpOption();
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version."));
    parser.addOptions({output, help, version});
    if (!parser.parse(arguments))
        return invalid(parser.errorText());
    if (!readFormat(parser.value(output)))
        return Invalid;
    if (parser.isSet(version)) {
        m_text = QStringLiteral("vdsctl " VDS_VERSION "\n");
        return Version;
    }
    const QStringList rest = parser.positionalArguments();
    if (rest.isEmpty()) {
        if (!parser.isSet(help))
            return invalid(QStringLiteral("no command given; see vdsctl --help"));
        m_text = mainHelp();
        return Help;
    }
    if (!findCommand(rest.first()))
        return invalid(QStringLiteral("unknown command '%1'; see vdsctl --help").arg(rest.first()));
    QStringList commandArguments = rest.mid(1);
    if (parser.isSet(help))
        commandArguments.prepend(QStringLiteral("--help"));
    return parseCommand(rest.first(), commandArguments);
}

CommandLine::Outcome CommandLine::parseCommand(const QString &command, const QStringList &arguments)
{
    const CommandInfo &info = *findCommand(command);
    m_request.command = command;

    QCommandLineParser parser;
    addCommandOptions(parser, info);

    QStringList hidden;
    const QStringList shown = hideNegativeNumbers(arguments, &hidden);
    if (!parser.parse(QStringList{QStringLiteral("vdsctl")} + shown))
        return invalid(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        m_text = commandHelp(info, parser);
        return Help;
    }
    if (parser.isSet(QStringLiteral("output")) &&
        !readFormat(parser.value(QStringLiteral("output"))))
        return Invalid;

    const QStringList positional = restore(parser.positionalArguments(), hidden);
    if (positional.size() < info.minArguments ||
        (info.maxArguments >= 0 && positional.size() > info.maxArguments))
        return invalid(QStringLiteral("wrong number of arguments; usage: %1").arg(usageLine(info)));

    if (command == QLatin1String("watch")) {
        if (!readNames(parser, positional) || !readWatchLimits(parser))
            return Invalid;
        m_request.verbose = parser.isSet(QStringLiteral("verbose"));
        return Run;
    }
    if (info.kinds != NoName && !readNames(parser, positional.mid(0, 1)))
        return Invalid;
    if (command == QLatin1String("set"))
        return readSetValue(parser, positional.mid(1)) ? Run : Invalid;
    m_request.arguments = positional.mid(info.kinds == NoName ? 0 : 1);
    if (command == QLatin1String("put-file")) {
        m_request.fileName = parser.value(QStringLiteral("name"));
        const QString path = m_request.arguments.first();
        const QFileInfo file(path);
        // The file is stored under its own name, which a device or a pipe
        // does not have; through standard input it gets one from --name.
        if (path != QLatin1String("-") && file.exists() && !file.isFile())
            return invalid(
                QStringLiteral("'%1' is not a regular file; use - to send standard input")
                    .arg(path));
        if (path != QLatin1String("-") && (!file.isFile() || !file.isReadable()))
            return invalid(QStringLiteral("cannot read the file '%1'").arg(path));
    }
    return Run;
}

bool CommandLine::readNames(const QCommandLineParser &parser, const QStringList &keys)
{
    const CommandInfo &info = *findCommand(m_request.command);
    ValueName::Kind kind = ValueName::Runtime;
    int kindOptions = 0;
    for (ValueName::Kind flag : {ValueName::Globals, ValueName::Opcua, ValueName::Mqtt}) {
        if (parser.isSet(ValueName(flag, QString()).kindText())) {
            kind = flag;
            ++kindOptions;
        }
    }
    if (kindOptions > 1) {
        invalid(QStringLiteral("name the value with only one of --globals, --opcua, --mqtt"));
        return false;
    }
    const QStringList uuids = parser.values(QStringLiteral("uuid"));
    if (kind != ValueName::Runtime && !uuids.isEmpty()) {
        invalid(QStringLiteral("--uuid names runtime values only"));
        return false;
    }
    if (!(info.kinds & (1 << kind))) {
        invalid(info.kinds == RuntimeOnly
                    ? QStringLiteral("%1 works on runtime values only").arg(info.name)
                    : QStringLiteral("%1 works on runtime and globals values only").arg(info.name));
        return false;
    }
    if (uuids.size() > 1 && uuids.size() != keys.size()) {
        invalid(QStringLiteral("give one --uuid for all keys, or one per key"));
        return false;
    }
    for (int i = 0; i < keys.size(); ++i) {
        if (keys.at(i).isEmpty()) {
            invalid(QStringLiteral("a key must not be empty"));
            return false;
        }
        const QString uuid = uuids.size() > 1 ? uuids.at(i) : uuids.value(0);
        m_request.names.append(ValueName(kind, keys.at(i), uuid));
    }
    return true;
}

bool CommandLine::readSetValue(const QCommandLineParser &parser, const QStringList &items)
{
    const QString typeName = parser.value(QStringLiteral("type"));
    TypedValue::Type type = TypedValue::String;
    if (!TypedValue::typeFromName(typeName, &type) || type == TypedValue::File) {
        invalid(type == TypedValue::File
                    ? QStringLiteral("files are stored with put-file")
                    : QStringLiteral("unknown type '%1'; see vdsctl set --help").arg(typeName));
        return false;
    }
    const ValueName::Kind kind = m_request.names.first().kind();
    if (!allowedType(kind, type)) {
        const QString kindText = m_request.names.first().kindText();
        invalid(QStringLiteral("%1 %2 value cannot be of type %3; see vdsctl set --help")
                    .arg(TypedValue::article(kindText), kindText, typeName));
        return false;
    }
    if (items.isEmpty() && !TypedValue::isList(type)) {
        invalid(QStringLiteral("wrong number of arguments; usage: %1")
                    .arg(usageLine(*findCommand(m_request.command))));
        return false;
    }
    const bool fromInput = items == QStringList{QStringLiteral("-")};
    QString error;
    if (!TypedValue::parse(type, fromInput ? inputItems(TypedValue::isList(type)) : items,
                           &m_request.value, &error,
                           parser.isSet(QStringLiteral("allow-nonfinite")))) {
        invalid(error);
        return false;
    }
    return true;
}

bool CommandLine::readWatchLimits(const QCommandLineParser &parser)
{
    if (parser.isSet(QStringLiteral("count"))) {
        bool ok = false;
        m_request.count = parser.value(QStringLiteral("count")).toInt(&ok);
        if (!ok || m_request.count < 1) {
            invalid(QStringLiteral("--count takes a whole number above 0"));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("timeout"))) {
        bool ok = false;
        const double seconds = parser.value(QStringLiteral("timeout")).toDouble(&ok);
        if (!ok || !(seconds > 0) || seconds > 2000000) {
            invalid(QStringLiteral("--timeout takes a number of seconds above 0"));
            return false;
        }
        m_request.timeoutMs = qMax(1, qRound(seconds * 1000));
    }
    return true;
}

bool CommandLine::readFormat(const QString &format)
{
    if (format == QLatin1String("text")) {
        m_request.format = Output::Text;
    } else if (format == QLatin1String("json")) {
        m_request.format = Output::Json;
    } else {
        invalid(QStringLiteral("--output takes text or json"));
        return false;
    }
    return true;
}

CommandLine::Outcome CommandLine::invalid(const QString &text)
{
    m_text = text;
    return Invalid;
}
