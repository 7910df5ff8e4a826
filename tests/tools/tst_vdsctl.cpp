// vdsctl's core run in this process against a real VelDataServer, for what the
// command line means and prints; then the vdsctl program run as a shell user
// runs it, for what only a process shows: exit codes, watches, signals, a
// terminal, and the server it starts.

#include "ExitCode.h"
#include "ServerProcess.h"
#include "ServerSandbox.h"
#include "Vdsctl.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr int RunTimeoutMs = 60000;

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

/// Words split as a shell splits them: "..." keeps spaces in one word, and
/// '' is an empty word.
QStringList words(const QString &line)
{
    QStringList split = QProcess::splitCommand(line);
    split.replaceInStrings(QRegularExpression("^''$"), QString());
    return split;
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 31 / 7);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

/// The next line of the process's current read channel, once it is there.
QByteArray readLine(QProcess &process)
{
    QDeadlineTimer deadline(RunTimeoutMs);
    while (!process.canReadLine() && process.state() == QProcess::Running && !deadline.hasExpired())
        process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    return process.readLine();
}

Run runProgram(const QString &program, const QStringList &arguments, const QByteArray &input,
               const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Run run;
    if (!process.waitForStarted(RunTimeoutMs))
        return run;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(RunTimeoutMs)) {
        process.kill();
        process.waitForFinished(RunTimeoutMs);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

/// Runs `body` with `input` as this process's standard input, and catches its
/// standard output and error, as vdsctl's own would be.
Run captured(const std::function<int()> &body, const QByteArray &input = QByteArray())
{
    QTemporaryFile in, out, err;
    Run run;
    if (!in.open() || !out.open() || !err.open() || in.write(input) != input.size() ||
        !in.flush() || !in.seek(0))
        return run;
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved[] = {::dup(0), ::dup(1), ::dup(2)};
    ::dup2(in.handle(), 0);
    ::dup2(out.handle(), 1);
    ::dup2(err.handle(), 2);
    // The stream forgets where an earlier run left it in another file.
    std::fseek(stdin, 0, SEEK_SET);
    run.exitCode = body();
    // What the stream holds of this file must not be read as the next one's.
    std::fflush(stdin);
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd = 0; fd < 3; ++fd) {
        ::dup2(saved[fd], fd);
        ::close(saved[fd]);
    }
    std::clearerr(stdin);
    run.out = readFile(out.fileName());
    run.err = readFile(err.fileName());
    return run;
}

Run core(const QStringList &arguments, const QByteArray &input = QByteArray())
{
    return captured([&] { return Vdsctl().run(QStringList{"vdsctl"} + arguments); }, input);
}

/// One line on standard error, the one that begins with "error: ".
bool isOneErrorLine(const QByteArray &err)
{
    return err.startsWith("error: ") && err.endsWith('\n') && err.count('\n') == 1;
}

} // namespace

class TestVdsctl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // vdsctl's core in this process.
    void help_data();
    void help();
    void usageErrors_data();
    void usageErrors();
    void storeAndRead_data();
    void storeAndRead();
    void missing_data();
    void missing();
    void unreachable_data();
    void unreachable();
    void files_data();
    void files();
    void fileDestinations_data();
    void fileDestinations();

    // The vdsctl program.
    void commands_data();
    void commands();
    void watch_data();
    void watch();
    void exitCodes_data();
    void exitCodes();
    void watchFollowsServer_data();
    void watchFollowsServer();
    void progressOnTerminal();
    void autostart_data();
    void autostart();

private:
    Run vdsctl(const QStringList &arguments, const QByteArray &input = QByteArray(),
               const QProcessEnvironment &environment = QProcessEnvironment());
    void startWatch(QProcess &process, const QStringList &arguments,
                    const QProcessEnvironment &environment = QProcessEnvironment());
    QString work(const QString &name) const { return m_work.filePath(name); }

    QString m_program;
    QTemporaryDir m_work;
    std::unique_ptr<ServerSandbox> m_sandbox;
};

void TestVdsctl::initTestCase()
{
    m_program = QCoreApplication::applicationDirPath() + QStringLiteral("/vdsctl");
    QVERIFY2(QFileInfo(m_program).isExecutable(), qPrintable(m_program));
    QVERIFY(m_work.isValid());
    // The core in this process reads the settings and the readiness block
    // where the program does: in the test's own folders.
    const QString sandbox = qEnvironmentVariable("VDS_TEST_SANDBOX", m_work.path());
    const QString configDir = qEnvironmentVariable("XDG_CONFIG_DIRS", sandbox + "/xdg");
    const QString tempDir = qEnvironmentVariable("TMPDIR", sandbox + "/tmp");
    m_sandbox = std::make_unique<ServerSandbox>(configDir, tempDir);
    QVERIFY(m_sandbox->startServer());
    // As vdsctl's main() does: its one error line says what the library would.
    QLoggingCategory::setFilterRules(QStringLiteral("veldata.client=false"));
}

Run TestVdsctl::vdsctl(const QStringList &arguments, const QByteArray &input,
                       const QProcessEnvironment &environment)
{
    return runProgram(m_program, arguments, input,
                      environment.isEmpty() ? m_sandbox->environment() : environment);
}

void TestVdsctl::help_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("usage");
    QTest::addColumn<QString>("mentions");

    QTest::newRow("tool") << "--help"
                          << "Usage: vdsctl [--output text|json] <command>"
                          << "get-file <key> [destination]";
    QTest::newRow("set") << "set --help"
                         << "Usage: vdsctl set [options] <key> <value>..."
                         << "--type <type>";
    QTest::newRow("help before command") << "--help rm"
                                         << "Usage: vdsctl rm [options] <key>"
                                         << "--uuid <uuid>";
}

void TestVdsctl::help()
{
    QFETCH(QString, arguments);
    QFETCH(QString, usage);
    QFETCH(QString, mentions);

    const Run run = core(words(arguments));
    QCOMPARE(run.exitCode, int(ExitOk));
    QCOMPARE(run.err, QByteArray());
    const QString text = QString::fromUtf8(run.out);
    QVERIFY2(text.startsWith(usage), qPrintable(text));
    QVERIFY2(text.contains(mentions), qPrintable(text));
    QVERIFY2(text.contains("Exit codes:\n  0  success\n  1  the value does not exist"),
             qPrintable(text));
    QVERIFY2(text.contains("  4  time-out"), qPrintable(text));
}

void TestVdsctl::usageErrors_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("message");

    const auto row = [](const char *name, const char *arguments, const char *message) {
        QTest::newRow(name) << arguments << message;
    };
    row("no command", "", "no command given");
    row("unknown command", "frobnicate", "unknown command");
    row("unknown option", "get k --frob", "frob");
    row("output format", "--output xml get k", "--output takes text or json");
    row("output format after command", "get k --output yaml", "--output takes text or json");
    row("no key", "get", "usage: vdsctl get [options] <key>");
    row("two keys", "type a b", "wrong number of arguments");
    row("empty key", "get ''", "a key must not be empty");
    row("int without value", "set k -t int", "wrong number of arguments");
    row("two values for an int", "set k -t int 1 2", "an int value takes exactly one argument");
    row("nan", "set k -t double nan", "'nan' is not a finite number; give --allow-nonfinite");
    row("inf in a list", "set k -t doubles 1 -inf", "'-inf' is not a finite number");
    row("not an int", "set k --type int 1.5", "'1.5' is not an int");
    row("not a double", "set k --type doubles 1 x", "'x' is not a number");
    row("not a bool", "set k --type bool maybe", "is not a bool");
    row("unknown type", "set k --type float 1", "unknown type 'float'");
    row("file type", "set k --type file x", "files are stored with put-file");
    row("globals bool", "set --globals k -t bool true", "a globals value cannot be of type bool");
    row("mqtt list", "set --mqtt k -t ints 1", "a mqtt value cannot be of type ints");
    row("opcua bool", "set --opcua k -t bool 1", "an opcua value cannot be of type bool");
    row("two kinds", "get --globals --opcua k", "only one of --globals, --opcua, --mqtt");
    row("uuid of a globals value", "get --globals -u x k", "--uuid names runtime values only");
    row("rm opcua", "rm --opcua k", "rm works on runtime and globals values only");
    row("watch globals", "watch --globals k", "watch works on runtime values only");
    row("watch uuids", "watch a b c -u 1 -u 2", "one --uuid for all keys, or one per key");
    row("watch count", "watch k --count 0", "--count takes a whole number above 0");
    row("watch timeout", "watch k --timeout soon", "--timeout takes a number of seconds");
    row("status without text", "status", "wrong number of arguments");
    row("put-file mqtt", "put-file --mqtt k x", "put-file works on runtime values only");
    row("put-file of a missing file", "put-file k /nonexistent/file", "cannot read the file");
    row("get-file into a missing folder", "get-file k /nonexistent/folder/f", "does not exist");
}

void TestVdsctl::usageErrors()
{
    QFETCH(QString, arguments);
    QFETCH(QString, message);

    const Run run = core(words(arguments));
    QCOMPARE(run.exitCode, int(ExitUsage));
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(isOneErrorLine(run.err), run.err.constData());
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
}

void TestVdsctl::storeAndRead_data()
{
    QTest::addColumn<QStringList>("name");
    QTest::addColumn<QStringList>("value");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("type");

    // One row per type and kind of name the library is called with, and one
    // per way of writing a value.
    const auto row = [](const char *name, const char *key, const QStringList &value,
                        const QByteArray &input, const QByteArray &text, const QByteArray &json,
                        const char *type) {
        QTest::newRow(name) << words(key) << value << input << text << json << QString(type);
    };
    row("negative int", "offset -u m1", {"-t", "int", "-7"}, "", "-7\n", "-7", "int");
    row("negative double", "temperature", {"--type", "double", "-0.125"}, "", "-0.125\n", "-0.125",
        "double");
    row("string by default", "greeting -u m1", {"hello world"}, "", "hello world\n",
        "\"hello world\"", "string");
    row("bool", "enabled --uuid m1", {"--type", "bool", "yes"}, "", "true\n", "true", "bool");
    row("strings", "names -u m1", {"-t", "strings", "a", "b c"}, "", "a\nb c\n", R"(["a","b c"])",
        "strings");
    row("doubles", "gains", {"-t", "doubles", "1.5", "-2"}, "", "1.5\n-2\n", "[1.5,-2]", "doubles");
    row("ints", "counts -u m1", {"-t", "ints", "1", "2", "3"}, "", "1\n2\n3\n", "[1,2,3]", "ints");
    row("strings without items", "none", {"-t", "strings"}, "", "", "[]", "strings");
    row("doubles not finite, when allowed", "edges",
        {"-t", "doubles", "--allow-nonfinite", "1", "nan", "-inf"}, "", "1\nnan\n-inf\n",
        R"([1,"nan","-inf"])", "doubles");
    row("empty ints from input", "nothing", {"-t", "ints", "-"}, "", "", "[]", "ints");
    row("variant number", "mixed1", {"-t", "variant", "5"}, "", "5\n", "5", "variant");
    row("variant list", "mixed2", {"-t", "variant", R"([1,"x",true])"}, "", "1\nx\ntrue\n",
        R"([1,"x",true])", "variant");
    row("variant object", "mixed3", {"-t", "variant", R"({"a":1})"}, "", "{\"a\":1}\n",
        R"({"a":1})", "variant");
    row("variant plain text", "mixed4", {"-t", "variant", "not json"}, "", "not json\n",
        "\"not json\"", "variant");
    row("string from input", "note", {"-"}, "two\nlines\n", "two\nlines\n", R"("two\nlines")",
        "string");
    row("strings from input", "list -u m1", {"-t", "strings", "-"}, "x\r\ny\n", "x\ny\n",
        R"(["x","y"])", "strings");
    row("globals int", "--globals limit", {"-t", "int", "7"}, "", "7\n", "7", "int");
    row("globals double", "--globals gain", {"-t", "double", "0.5"}, "", "0.5\n", "0.5", "double");
    row("globals string", "--globals site", {"plant 1"}, "", "plant 1\n", "\"plant 1\"", "string");
    row("globals variant as double", "--globals factor", {"-t", "variant", "2.5"}, "", "2.5\n",
        "2.5", "double");
    row("opcua int", "--opcua ns=2;s=Speed", {"-t", "int", "1500"}, "", "1500\n", "1500", "int");
    row("opcua string", "--opcua ns=2;s=Name", {"pump"}, "", "pump\n", "\"pump\"", "string");
    row("mqtt double", "--mqtt plant/temp", {"-t", "double", "21.5"}, "", "21.5\n", "21.5",
        "double");
}

void TestVdsctl::storeAndRead()
{
    QFETCH(QStringList, name);
    QFETCH(QStringList, value);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, json);
    QFETCH(QString, type);

    const Run set = core(QStringList{"set"} + name + value, input);
    QCOMPARE(set.err, QByteArray());
    QCOMPARE(set.exitCode, int(ExitOk));
    QCOMPARE(set.out, QByteArray());

    const Run get = core(QStringList{"get"} + name);
    QCOMPARE(get.err, QByteArray());
    QCOMPARE(get.exitCode, int(ExitOk));
    QCOMPARE(get.out, text);

    const Run getJson = core(QStringList{"--output", "json", "get"} + name);
    QCOMPARE(getJson.exitCode, int(ExitOk));
    QVERIFY(getJson.out.endsWith('\n'));
    QCOMPARE(getJson.out.count('\n'), 1);
    const QJsonObject object = QJsonDocument::fromJson(getJson.out).object();
    QCOMPARE(object.value("type").toString(), type);
    QCOMPARE(object.value("value"), QJsonDocument::fromJson("[" + json + "]").array().first());
    const bool runtime = !name.first().startsWith("--");
    QCOMPARE(object.value("key").toString(), runtime ? name.first() : name.at(1));
    QCOMPARE(object.value("kind").toString(),
             runtime ? QStringLiteral("runtime") : name.first().mid(2));
    QCOMPARE(object.contains("uuid"), runtime);

    QCOMPARE(core(QStringList{"type"} + name).out, type.toUtf8() + '\n');
}

void TestVdsctl::missing_data()
{
    QTest::addColumn<QList<QStringList>>("setup");
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("error");

    const auto row = [](const char *name, const QList<QStringList> &setup, const char *arguments,
                        const char *error) {
        QTest::newRow(name) << setup << arguments << QByteArray(error);
    };
    row("get runtime", {}, "get absent -u x", "error: no value absent/x\n");
    row("type runtime", {}, "type absent", "error: no value absent\n");
    row("get globals", {}, "get --globals absent", "error: no value globals:absent\n");
    row("type opcua", {}, "type --opcua absent", "error: no value opcua:absent\n");
    row("get mqtt", {}, "get --mqtt absent", "error: no value mqtt:absent\n");
    row("get-file", {}, "get-file absent -", "error: no file value absent\n");
    row("get-file of an int", {words("set number -t int 3")}, "get-file number -",
        "error: no file value number\n");
    row("get of a file", {words("put-file document -")}, "get document",
        "error: document is a file value; fetch it with get-file\n");
    row("removed runtime", {words("set gone -u r1 -t int 1"), words("rm gone -u r1")},
        "get gone -u r1", "error: no value gone/r1\n");
    row("removed globals", {words("set --globals gone x"), words("rm --globals gone")},
        "get --globals gone", "error: no value globals:gone\n");
    // Removing what is not there succeeds, as the server's answer says done.
    row("removed, never stored", {words("rm never")}, "get never", "error: no value never\n");
}

void TestVdsctl::missing()
{
    QFETCH(QList<QStringList>, setup);
    QFETCH(QString, arguments);
    QFETCH(QByteArray, error);

    for (const QStringList &step : setup) {
        const Run run = core(step, "content");
        QVERIFY2(run.exitCode == ExitOk, run.err.constData());
    }
    const Run run = core(words(arguments));
    QCOMPARE(run.err, error);
    QCOMPARE(run.exitCode, int(ExitFailed));
    QCOMPARE(run.out, QByteArray());
}

void TestVdsctl::unreachable_data()
{
    QTest::addColumn<QString>("arguments");

    // One row per way a command reaches the library ("type" is get's first
    // step, "status" is sent as "cmd" is).
    for (const char *arguments : {"set k v", "get k", "get --globals k", "get --mqtt k", "rm k",
                                  "watch k", "cmd hello", "put-file k -", "get-file k -"})
        QTest::newRow(arguments) << arguments;
}

// Every command reports a server it cannot reach as such: exit code 3.
void TestVdsctl::unreachable()
{
    QFETCH(QString, arguments);

    // The settings name a port where nobody listens; the library reads
    // them anew for each connection.
    QVERIFY(m_sandbox->pointAt());
    const Run run = core(words(arguments), "content");
    QVERIFY(m_sandbox->pointAt(m_sandbox->server()->port()));
    QVERIFY2(run.err.startsWith("error: FAILED to connect to the VelDataServer: "),
             run.err.constData());
    QVERIFY2(isOneErrorLine(run.err), run.err.constData());
    QCOMPARE(run.exitCode, int(ExitUnreachable));
    QCOMPARE(run.out, QByteArray());
}

void TestVdsctl::files_data()
{
    QTest::addColumn<QStringList>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fromInput");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("saved");

    QTest::newRow("into a folder") << words("doc1 -u f") << 10 << false << "out1"
                                   << "out1/data-10.bin";
    QTest::newRow("empty file") << words("doc2") << 0 << false << "out2"
                                << "out2/data-0.bin";
    QTest::newRow("several pieces into a file name")
        << words("doc3") << 200000 << false << "out3/copy.bin"
        << "out3/copy.bin";
    QTest::newRow("to standard output") << words("doc5 -u f") << 70000 << false << "-"
                                        << "";
    QTest::newRow("from standard input") << words("doc6 --name piped.txt") << 1000 << true << "out6"
                                         << "out6/piped.txt";
}

void TestVdsctl::files()
{
    QFETCH(QStringList, name);
    QFETCH(int, size);
    QFETCH(bool, fromInput);
    QFETCH(QString, destination);
    QFETCH(QString, saved);

    const QByteArray content = pattern(size);
    const QString source = work(QStringLiteral("source/data-%1.bin").arg(size));
    QVERIFY(writeFile(source, content));
    if (destination != "-")
        QDir().mkpath(work(destination.section('/', 0, 0)));

    const Run put = core(QStringList{"put-file"} + name + QStringList{fromInput ? "-" : source},
                         fromInput ? content : QByteArray());
    QCOMPARE(put.err, QByteArray());
    QCOMPARE(put.exitCode, int(ExitOk));
    QCOMPARE(put.out, QByteArray());

    QStringList key = name;
    if (key.contains("--name"))
        key.erase(key.begin() + key.indexOf("--name"), key.begin() + key.indexOf("--name") + 2);
    QCOMPARE(core(QStringList{"type"} + key).out, QByteArray("file\n"));

    const QString target = destination == "-" ? destination : work(destination);
    const Run get = core(QStringList{"get-file"} + key + QStringList{target});
    QCOMPARE(get.err, QByteArray());
    QCOMPARE(get.exitCode, int(ExitOk));
    if (saved.isEmpty()) {
        QVERIFY(get.out == content);
        return;
    }
    QCOMPARE(QDir::cleanPath(QString::fromUtf8(get.out.trimmed())), work(saved));
    QVERIFY(readFile(work(saved)) == content);
    // Only the file arrives; the folder the fetch went through is gone.
    QCOMPARE(QDir(QFileInfo(work(saved)).absolutePath())
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                 .size(),
             1);

    const Run json =
        core(QStringList{"--output", "json", "get-file"} + key + QStringList{work(saved)});
    const QJsonObject object = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(object.value("file").toString(), work(saved));
    QCOMPARE(object.value("size").toInt(), size);
    QCOMPARE(object.value("key").toString(), key.first());
}

void TestVdsctl::fileDestinations_data()
{
    QTest::addColumn<QString>("place");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");

    // `place` is what the destination is before; %1 in `error` is its path.
    QTest::newRow("regular file with a second hard link") << "hard link" << 0 << "";
    QTest::newRow("FIFO with a reader") << "FIFO" << 0 << "";
    QTest::newRow("symbolic link to a file") << "link" << 0 << "";
    QTest::newRow("symbolic link to nothing")
        << "dangling link" << 2
        << "error: '%1' is a symbolic link to nothing; vdsctl writes through a link only to an "
           "existing file\n";
    QTest::newRow("full device") << "full device" << 2
                                 << "error: cannot write '%1': No space left on device\n";
}

// An existing destination is written through, never replaced by another file.
void TestVdsctl::fileDestinations()
{
    QFETCH(QString, place);
    QFETCH(int, exitCode);
    QFETCH(QString, error);

    const QByteArray content = pattern(70000);
    QCOMPARE(core({"put-file", "dest", "-"}, content).exitCode, int(ExitOk));

    const QString folder = work(QStringLiteral("destinations/%1").arg(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(folder));
    QString target = folder + "/target";
    const QByteArray path = QFile::encodeName(target);
    QProcess reader;
    if (place == "hard link") {
        QVERIFY(writeFile(target, pattern(100000)));
        QCOMPARE(::link(path.constData(), QFile::encodeName(folder + "/second").constData()), 0);
    } else if (place == "FIFO") {
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        reader.start("cat", {target});
        QVERIFY(reader.waitForStarted(RunTimeoutMs));
    } else if (place == "link") {
        QVERIFY(writeFile(folder + "/real", pattern(100000)));
        QVERIFY(QFile::link(folder + "/real", target));
    } else if (place == "dangling link") {
        QVERIFY(QFile::link(folder + "/absent", target));
    } else if (place == "full device") {
        // A node of its own with the numbers of /dev/full where that is
        // allowed (root), so that a broken fetch never replaces the system's;
        // others cannot write into /dev.
        if (::mknod(path.constData(), S_IFCHR | 0600, makedev(1, 7)) != 0)
            target = "/dev/full";
    }

    const Run get = core({"get-file", "dest", target});
    QCOMPARE(QString::fromUtf8(get.err), error.isEmpty() ? error : error.arg(target));
    QCOMPARE(get.exitCode, exitCode);
    if (exitCode == 0)
        QCOMPARE(get.out, QFile::encodeName(target) + '\n');

    struct stat status = {};
    QCOMPARE(::lstat(QFile::encodeName(target).constData(), &status), 0);
    if (place == "hard link") {
        QVERIFY(S_ISREG(status.st_mode));
        QVERIFY(readFile(folder + "/second") == content);
    } else if (place == "FIFO") {
        QVERIFY(S_ISFIFO(status.st_mode));
        QVERIFY(reader.waitForFinished(RunTimeoutMs));
        QVERIFY(reader.readAllStandardOutput() == content);
    } else if (place == "link") {
        QVERIFY(S_ISLNK(status.st_mode));
        QVERIFY(readFile(folder + "/real") == content);
    } else if (place == "dangling link") {
        QVERIFY(S_ISLNK(status.st_mode));
        QVERIFY(!QFile::exists(folder + "/absent"));
    } else {
        QVERIFY(S_ISCHR(status.st_mode));
    }
    // Nothing of the fetch is left behind.
    const QStringList left = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                    QDir::NoDotAndDotDot);
    QVERIFY2(left.filter(".vdsctl-").isEmpty(), qPrintable(left.join(' ')));
}

void TestVdsctl::commands_data()
{
    // setup and check run in this process, around the program's command; a
    // setup reads "stored" as its input.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QString>("check");
    QTest::addColumn<QByteArray>("checked");
    QTest::addColumn<QString>("logged");

    QTest::newRow("set") << ""
                         << "set s1 -t ints 1 2" << QByteArray() << QByteArray() << "get s1"
                         << QByteArray("1\n2\n") << "";
    QTest::newRow("get") << "set g1 -t double 2.5"
                         << "--output json get g1" << QByteArray()
                         << QByteArray(R"({"key":"g1","kind":"runtime","type":"double",)"
                                       R"("uuid":"","value":2.5})"
                                       "\n")
                         << "" << QByteArray() << "";
    QTest::newRow("type") << "set t1 -t bool 1"
                          << "type t1" << QByteArray() << QByteArray("bool\n") << "" << QByteArray()
                          << "";
    QTest::newRow("rm") << "set r1 x"
                        << "rm r1" << QByteArray() << QByteArray() << "get r1" << QByteArray()
                        << "";
    QTest::newRow("put-file") << ""
                              << "put-file p1 -" << QByteArray("sent") << QByteArray()
                              << "get-file p1 -" << QByteArray("sent") << "";
    QTest::newRow("get-file") << "put-file f1 -"
                              << "get-file f1 -" << QByteArray() << QByteArray("stored") << ""
                              << QByteArray() << "";
    QTest::newRow("cmd") << ""
                         << "cmd reload \"plant 1\" fast" << QByteArray() << QByteArray() << ""
                         << QByteArray() << "command: reload plant 1 fast";
    QTest::newRow("status") << ""
                            << "status \"busy since noon\"" << QByteArray() << QByteArray() << ""
                            << QByteArray() << "status: busy since noon";
}

void TestVdsctl::commands()
{
    QFETCH(QString, setup);
    QFETCH(QString, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, out);
    QFETCH(QString, check);
    QFETCH(QByteArray, checked);
    QFETCH(QString, logged);

    if (!setup.isEmpty())
        QCOMPARE(core(words(setup), "stored").exitCode, int(ExitOk));
    const Run run = vdsctl(words(arguments), input);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, int(ExitOk));
    QCOMPARE(run.out, out);
    if (!check.isEmpty())
        QCOMPARE(core(words(check)).out, checked);
    // The program returned after an answer the server sent behind the
    // command, so the server's log line is written; reading it may lag.
    if (!logged.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox->server()->errorOutput().contains(logged.toUtf8()),
                                 10000);
}

void TestVdsctl::startWatch(QProcess &process, const QStringList &arguments,
                            const QProcessEnvironment &environment)
{
    process.setProcessEnvironment(environment.isEmpty() ? m_sandbox->environment() : environment);
    process.start(m_program, QStringList{"watch", "--verbose"} + arguments);
    QVERIFY(process.waitForStarted(RunTimeoutMs));
    process.setReadChannel(QProcess::StandardError);
    const QByteArray ready = readLine(process);
    process.setReadChannel(QProcess::StandardOutput);
    QVERIFY2(ready.startsWith("watching "), ready.constData());
}

void TestVdsctl::watch_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("text") << "text"
                          << QStringList{"w1/a 5", "w2/b x, y", "w1/a (file)", "w1/a (removed)"};
    QTest::newRow("json")
        << "json"
        << QStringList{
               R"({"key":"w1","kind":"runtime","type":"int","uuid":"a","value":5})",
               R"({"key":"w2","kind":"runtime","type":"strings","uuid":"b","value":["x","y"]})",
               R"({"key":"w1","kind":"runtime","type":"file","uuid":"a"})",
               R"({"key":"w1","kind":"runtime","removed":true,"uuid":"a"})"};
}

void TestVdsctl::watch()
{
    QFETCH(QString, format);
    QFETCH(QStringList, lines);

    const QStringList changes[] = {words("set w1 -u a -t int 5"),
                                   words("set w2 -u b -t strings x y"), words("put-file w1 -u a -"),
                                   words("rm w1 -u a")};
    QProcess watcher;
    startWatch(watcher, words("--output " + format + " w1 w2 -u a -u b --count 4 --timeout 30"));
    if (QTest::currentTestFailed())
        return;
    for (int i = 0; i < lines.size(); ++i) {
        // A value no one watches changes too, and must not show.
        QCOMPARE(core(words("set unwatched -u a x")).exitCode, int(ExitOk));
        QCOMPARE(core(changes[i], "content").exitCode, int(ExitOk));
        // Each line is awaited before the next change, which would otherwise
        // overtake the read of the one before.
        QCOMPARE(QString::fromUtf8(readLine(watcher)), lines.at(i) + '\n');
    }
    QVERIFY(watcher.waitForFinished(RunTimeoutMs));
    QCOMPARE(watcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watcher.exitCode(), int(ExitOk));
    QCOMPARE(watcher.readAllStandardOutput(), QByteArray());
    QCOMPARE(watcher.readAllStandardError(), QByteArray());
}

void TestVdsctl::exitCodes_data()
{
    // server: "running"; "limited" (a small file limit); "stopped" (stopped
    // with SIGSTOP, then ended with SIGTERM once the request reached it);
    // "none" (nothing, and no start allowed); "disabled" (a start allowed by
    // the settings, forbidden by the environment); "closed" (ready, but
    // nobody at the port); "silent" (a listener that never answers); "tls" (a
    // TLS server of its own) and "plain" (the running server), each met by a
    // TLS client pinned to another certificate. %1 in
    // the arguments is a folder of the row.
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");

    const QString lost = QStringLiteral("^error: Connection to server closed: .+\n$");
    const auto row = [](const char *name, const char *server, const char *arguments, int exitCode,
                        const QString &error) {
        QTest::newRow(name) << server << arguments << exitCode << error;
    };
    row("0: watch time limit without a count", "running", "watch idle --timeout 0.2", ExitOk, "^$");
    row("1: no such value", "running", "get absent", ExitFailed, "^error: no value absent\n$");
    row("1: put-file over the file limit", "limited", "put-file big %1/big.bin", ExitFailed,
        "^error: File too large: 33554432 bytes, limit 65536\n$");
    row("2: usage", "none", "get", ExitUsage, "^error: wrong number of arguments; usage: .+\n$");
    row("3: no server, no start allowed", "none", "get k", ExitUnreachable,
        "^error: Not allowed to start VelDataServer\n$");
    row("3: autostart disabled", "disabled", "set k v", ExitUnreachable,
        "^error: Not allowed to start VelDataServer \\(VELDATASERVER_AUTOSTART_DISABLE\\)\n$");
    row("3: port closed", "closed", "get --globals k", ExitUnreachable,
        "^error: FAILED to connect to the VelDataServer: .+\n$");
    row("3: pinned certificate differs", "tls", "get k", ExitUnreachable,
        "^error: Server certificate fingerprint mismatch: .*\n$");
    row("3: TLS against a plain server", "plain", "get k", ExitUnreachable,
        "^error: TLS handshake with VelDataServer failed: .*\n$");
    row("3: server ends during put-file", "stopped", "put-file big %1/big.bin", ExitUnreachable,
        lost);
    row("3: server ends during get-file", "stopped", "get-file big %1/out.bin", ExitUnreachable,
        lost);
    row("4: server does not answer", "silent", "set k v", ExitTimeout,
        "^error: Timeout reached\n$");
    row("4: watch ends before its count", "running", "watch quiet -n 2 --timeout 0.3", ExitTimeout,
        "^error: time-out after 0 of 2 changes\n$");
}

void TestVdsctl::exitCodes()
{
    QFETCH(QString, server);
    QFETCH(QString, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, error);

    const QString folder =
        work("codes/" +
             QString::fromUtf8(QTest::currentDataTag()).replace(QRegularExpression("\\W+"), "_"));
    const QString readyTemp = m_sandbox->environment().value("TMPDIR");
    // "closed", "silent" and "plain" share the running server's readiness block.
    const bool ready = server == "closed" || server == "silent" || server == "plain";
    ServerSandbox sandbox(folder + "/xdg", ready ? readyTemp : folder + "/tmp");
    QTcpServer silent;
    QProcessEnvironment environment = m_sandbox->environment();
    if (server == "limited" || server == "stopped") {
        QVERIFY(sandbox.startServer(server == "limited" ? words("--max-file-size 65536")
                                                        : QStringList()));
        QVERIFY(writeFile(folder + "/big.bin", QByteArray(32 << 20, 'b')));
        if (arguments.startsWith("get-file"))
            QCOMPARE(vdsctl({"put-file", "big", folder + "/big.bin"}, {}, sandbox.environment())
                         .exitCode,
                     int(ExitOk));
    } else if (server == "silent") {
        // The kernel accepts the connection and keeps what the client sends.
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        QVERIFY(sandbox.pointAt(silent.serverPort()));
    } else if (server == "tls" || server == "plain") {
        // A TLS client pinned to a certificate no server has: a TLS server of
        // its own shows another one, the running plain server fails the
        // handshake.
        const QString settings = folder + "/xdg/Haltra/VelDataServer.conf";
        QSettings(settings, QSettings::IniFormat).setValue("Settings/encryption", 1);
        QVERIFY(server == "tls" ? sandbox.startServer() : sandbox.pointAt(m_sandbox->port()));
        QSettings client(settings, QSettings::IniFormat);
        client.setValue("Settings/encryption", 1);
        client.setValue("Settings/serverCertificateSha256", QString(64, QLatin1Char('f')));
    } else if (server != "running") {
        if (server == "disabled")
            sandbox.allowStart();
        QVERIFY(sandbox.pointAt());
    }
    if (server != "running")
        environment = sandbox.environment();
    if (server == "disabled")
        environment.insert("VELDATASERVER_AUTOSTART_DISABLE", "1");

    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(m_program, words(QString(arguments).replace("%1", folder)));
    if (server == "stopped") {
        // Once the request has reached the stopped server, so that the end
        // meets it in flight however slow the machine is.
        const pid_t pid = pid_t(sandbox.server()->processId());
        QCOMPARE(::kill(pid, SIGSTOP), 0);
        const QDeadlineTimer deadline(RunTimeoutMs);
        while (!ServerProcess::hasUnreadInput(sandbox.port()) && !deadline.hasExpired())
            QThread::msleep(10);
        ::kill(pid, SIGTERM);
        ::kill(pid, SIGCONT);
    }
    QVERIFY(process.waitForFinished(RunTimeoutMs));
    const QByteArray err = process.readAllStandardError();
    QVERIFY2(QRegularExpression(error).match(QString::fromUtf8(err)).hasMatch(), err.constData());
    QCOMPARE(process.exitCode(), exitCode);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    // Nothing is left where a fetched file would have gone.
    if (server == "stopped")
        QVERIFY(!QFileInfo::exists(folder + "/out.bin") &&
                QDir(folder).entryList({".vdsctl-*"}, QDir::Hidden | QDir::Dirs).isEmpty());
}

void TestVdsctl::watchFollowsServer_data()
{
    QTest::addColumn<bool>("autostart");

    QTest::newRow("server stops") << false;
    QTest::newRow("server started again") << true;
}

void TestVdsctl::watchFollowsServer()
{
    QFETCH(bool, autostart);

    const QString folder = work(QTest::currentDataTag());
    ServerSandbox sandbox(folder + "/xdg", folder + "/tmp");
    if (autostart)
        sandbox.allowStart();
    QVERIFY(sandbox.startServer());
    QProcess watcher;
    startWatch(watcher, {"kept", "--count", "1", "--timeout", "60"}, sandbox.environment());
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(sandbox.server()->terminate(), 0);

    if (!autostart) {
        QVERIFY(watcher.waitForFinished(RunTimeoutMs));
        QCOMPARE(watcher.exitCode(), int(ExitUnreachable));
        QCOMPARE(watcher.readAllStandardError(),
                 QByteArray("error: Not allowed to start VelDataServer\n"));
        return;
    }
    // Whichever client comes first starts the server again; the watch
    // subscribes anew within its keep-alive period, so changes are repeated
    // until one shows.
    for (int attempt = 0; attempt < 60 && watcher.state() == QProcess::Running; ++attempt) {
        const QStringList set{"set", "kept", "-t", "int", QString::number(attempt)};
        QCOMPARE(vdsctl(set, QByteArray(), sandbox.environment()).exitCode, int(ExitOk));
        if (watcher.waitForFinished(250))
            break;
    }
    QCOMPARE(watcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watcher.exitCode(), int(ExitOk));
    QVERIFY(watcher.readAllStandardOutput().startsWith("kept "));
    QVERIFY(sandbox.stopStartedServers() >= 1);
}

void TestVdsctl::progressOnTerminal()
{
    // `script` (util-linux, essential on Debian) runs the program on a
    // pseudo-terminal, as a person would.
    const QString script = QStandardPaths::findExecutable("script");
    QVERIFY2(!script.isEmpty(), "the program script is needed");
    const QString source = work("terminal/big.bin");
    QVERIFY(writeFile(source, pattern(5 * 1024 * 1024)));
    const auto onTerminal = [&](const QString &command) {
        QProcess process;
        process.setProcessEnvironment(m_sandbox->environment());
        process.start(script, {"-qefc", command, "/dev/null"});
        process.waitForFinished(RunTimeoutMs);
        return process.readAllStandardOutput();
    };
    const QString program = "'" + m_program + "'";
    const QByteArray sent = onTerminal(program + " put-file big '" + source + "'");
    QVERIFY2(sent.contains("sent 5.0 MiB in "), sent.constData());
    const QByteArray received =
        onTerminal(program + " get-file big '" + work("terminal/copy.bin") + "'");
    QVERIFY2(received.contains("received 5.0 MiB in "), received.constData());
    QCOMPARE(readFile(work("terminal/copy.bin")).size(), 5 * 1024 * 1024);
}

void TestVdsctl::autostart_data()
{
    // program: this build's vdsctl, the one installed into a prefix, or a
    // copy of that elsewhere that loads the prefix's library. server: where
    // the server program stands: as built or installed ("beside"), moved to a
    // folder on PATH, nowhere, or beside the copy but not startable. started: the server program
    // expected to run. interrupt: SIGINT to the starter's process group while it runs.
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("started");
    QTest::addColumn<bool>("interrupt");

    const auto row = [](const char *name, const char *program, const char *server,
                        const char *started, bool interrupt) {
        QTest::newRow(name) << QString(program) << QString(server) << QString(started) << interrupt;
    };
    row("build tree", "build", "beside", "build", false);
    row("build tree, interrupted", "build", "beside", "build", true);
    row("installed", "installed", "beside", "prefix", false);
    row("installed, interrupted", "installed", "beside", "prefix", true);
    row("beside the library", "copy", "beside", "prefix", false);
    row("on PATH", "copy", "path", "path", false);
    row("nowhere", "copy", "none", "", false);
    // A program that the system refuses to run, found first.
    row("not startable", "copy", "broken", "", false);
}

void TestVdsctl::autostart()
{
    QFETCH(QString, program);
    QFETCH(QString, server);
    QFETCH(QString, started);
    QFETCH(bool, interrupt);

    const QString installedServer = QStringLiteral(TEST_INSTALL_BINDIR "/VelDataServer");
    if (server == QLatin1String("none") && QFileInfo(installedServer).isExecutable())
        QSKIP(qPrintable(installedServer + " is installed and would be found"));
    const QString row =
        work("autostart/" +
             QString::fromUtf8(QTest::currentDataTag()).replace(QRegularExpression("\\W+"), "_"));
    QVERIFY(QDir().mkpath(row));
    const QString folder = QFileInfo(row).canonicalFilePath();
    ServerSandbox sandbox(folder + "/xdg", folder + "/tmp");
    sandbox.allowStart();
    QProcessEnvironment environment = sandbox.environment();
    environment.remove("LD_LIBRARY_PATH");
    const QString pathFolder = folder + "/path";
    QVERIFY(QDir().mkpath(pathFolder));
    environment.insert("PATH", pathFolder);

    QString vdsctl = m_program;
    QString expected =
        QFileInfo(QCoreApplication::applicationDirPath() + "/VelDataServer").canonicalFilePath();
    const QString prefix = folder + "/prefix";
    if (program != QLatin1String("build")) {
        const Run install =
            runProgram(TEST_CMAKE_COMMAND, {"--install", TEST_BUILD_DIR, "--prefix", prefix},
                       QByteArray(), QProcessEnvironment::systemEnvironment());
        QVERIFY2(install.exitCode == 0, install.err.constData());
        vdsctl = prefix + "/bin/vdsctl";
        expected = prefix + "/bin/VelDataServer";
    }
    if (program == QLatin1String("copy")) {
        QVERIFY(QDir().mkpath(folder + "/app"));
        QVERIFY(QFile::copy(vdsctl, folder + "/app/vdsctl"));
        vdsctl = folder + "/app/vdsctl";
        environment.insert("LD_LIBRARY_PATH", prefix + "/" TEST_INSTALL_LIBDIR);
    }
    if (server == QLatin1String("path")) {
        QVERIFY(QFile::rename(expected, pathFolder + "/VelDataServer"));
        expected = pathFolder + "/VelDataServer";
    } else if (server == QLatin1String("none")) {
        QVERIFY(QFile::remove(expected));
    } else if (server == QLatin1String("broken")) {
        QVERIFY(writeFile(folder + "/app/VelDataServer", "#!/nonexistent/interpreter\n"));
        QVERIFY(QFile::setPermissions(folder + "/app/VelDataServer",
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    // Picked last, so that the port is still free when the server starts.
    QVERIFY(sandbox.pointAt());
    const QString log = folder + "/tmp/data/Haltra/VelDataServer/VelDataServer.log";
    const QString listening = QStringLiteral("listening on port %1").arg(sandbox.port());

    if (interrupt) {
        // The starter leads a process group of its own, as a shell's job does;
        // Ctrl-C on its terminal signals the whole group.
        QProcess watcher;
        watcher.setProcessEnvironment(environment);
        watcher.start(QStandardPaths::findExecutable("setsid"), {vdsctl, "watch", "k"});
        QVERIFY(watcher.waitForStarted(RunTimeoutMs));
        QVERIFY(QTest::qWaitFor([&] { return readFile(log).contains(listening.toUtf8()); },
                                RunTimeoutMs));
        QCOMPARE(::getpgid(pid_t(watcher.processId())), pid_t(watcher.processId()));
        QCOMPARE(::kill(-pid_t(watcher.processId()), SIGINT), 0);
        QVERIFY(watcher.waitForFinished(RunTimeoutMs));
        QCOMPARE(watcher.exitCode(), 0);
    } else {
        // A shell's $(...) returns once every writer of its pipe has closed
        // it: a server that kept the starter's output would hold it until it
        // stopped, and what it printed would be part of the result.
        const Run shell = runProgram("/bin/sh",
                                     {"-c",
                                      "x=$(\"$0\" set k v 2>&1); echo \"exit $?\"; "
                                      "printf %s \"$x\"",
                                      vdsctl},
                                     QByteArray(), environment);
        if (server == QLatin1String("none")) {
            const QString places = QStringList{folder + "/app", prefix + "/bin",
                                               QStringLiteral(TEST_INSTALL_BINDIR), "PATH"}
                                       .join(", ");
            QCOMPARE(shell.out,
                     "exit 3\nerror: VelDataServer not found (looked in: " + places.toUtf8() + ")");
        } else if (server == QLatin1String("broken")) {
            const QByteArray reason = "exit 3\nerror: Cannot start VelDataServer (" +
                                      QFile::encodeName(folder) + "/app/VelDataServer): ";
            QVERIFY2(shell.out.startsWith(reason), shell.out.constData());
        }
        if (started.isEmpty()) {
            QCOMPARE(sandbox.startedServers().size(), 0);
            return;
        }
        QVERIFY2(shell.out == "exit 0\n", shell.out + "\nserver log:\n" + readFile(log));
        QCOMPARE(shell.err, QByteArray());
        QVERIFY2(readFile(log).contains(listening.toUtf8()), readFile(log).constData());
    }
    // The server goes on after its starter and answers without another start.
    environment.insert("VELDATASERVER_AUTOSTART_DISABLE", "1");
    const Run set = runProgram(vdsctl, {"set", "k", "w"}, QByteArray(), environment);
    QCOMPARE(set.err, QByteArray());
    QCOMPARE(set.exitCode, 0);
    const QMap<qint64, QString> servers = sandbox.startedServers();
    QCOMPARE(servers.values(), QStringList{expected});
    QCOMPARE(sandbox.stopStartedServers(), 1);
}

QTEST_GUILESS_MAIN(TestVdsctl)
#include "tst_vdsctl.moc"
