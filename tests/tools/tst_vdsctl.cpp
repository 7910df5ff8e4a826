// Runs the vdsctl program against a real VelDataServer, or against none, and
// checks what a shell user sees: standard output, standard error, exit code.

#include "ServerProcess.h"
#include "ServerSandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <QThread>

#include <csignal>
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

QJsonValue jsonValue(const QByteArray &text)
{
    return QJsonDocument::fromJson("[" + text + "]").array().first();
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

    void help_data();
    void help();
    void storeAndRead_data();
    void storeAndRead();
    void remove_data();
    void remove();
    void usageErrors_data();
    void usageErrors();
    void missingValues_data();
    void missingValues();
    void unreachable_data();
    void unreachable();
    void timeouts_data();
    void timeouts();
    void serverEndsTheRequest_data();
    void serverEndsTheRequest();
    void watch_data();
    void watch();
    void watchEnds_data();
    void watchEnds();
    void watchFollowsServer_data();
    void watchFollowsServer();
    void files_data();
    void files();
    void fileDestinations_data();
    void fileDestinations();
    void commandAndStatus_data();
    void commandAndStatus();
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
    std::unique_ptr<ServerSandbox> m_noServer;
    std::unique_ptr<ServerSandbox> m_closedPort;
    std::unique_ptr<ServerSandbox> m_autostartDisabled;
};

void TestVdsctl::initTestCase()
{
    m_program = QCoreApplication::applicationDirPath() + QStringLiteral("/vdsctl");
    QVERIFY2(QFileInfo(m_program).isExecutable(), qPrintable(m_program));
    QVERIFY(m_work.isValid());
    const QString sandbox = qEnvironmentVariable("VDS_TEST_SANDBOX", m_work.path());
    const QString configDir = qEnvironmentVariable("XDG_CONFIG_DIRS", sandbox + "/xdg");
    const QString tempDir = qEnvironmentVariable("TMPDIR", sandbox + "/tmp");

    m_sandbox = std::make_unique<ServerSandbox>(configDir, tempDir);
    QVERIFY(m_sandbox->startServer());
    // No server at all, and starting one is forbidden.
    m_noServer = std::make_unique<ServerSandbox>(work("none/xdg"), work("none/tmp"));
    QVERIFY(m_noServer->pointAt());
    // The server is ready (its readiness block is in this temporary folder),
    // but the settings name a port where nobody listens.
    m_closedPort = std::make_unique<ServerSandbox>(work("closed/xdg"), tempDir);
    QVERIFY(m_closedPort->pointAt());
    // The settings allow a start; the environment variable forbids it.
    m_autostartDisabled = std::make_unique<ServerSandbox>(work("off/xdg"), work("off/tmp"));
    m_autostartDisabled->allowStart();
    QVERIFY(m_autostartDisabled->pointAt());
}

Run TestVdsctl::vdsctl(const QStringList &arguments, const QByteArray &input,
                       const QProcessEnvironment &environment)
{
    return runProgram(m_program, arguments, input,
                      environment.isEmpty() ? m_sandbox->environment() : environment);
}

void TestVdsctl::help_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("usage");
    QTest::addColumn<QString>("mentions");

    QTest::newRow("tool") << QStringList{"--help"} << "Usage: vdsctl [--output text|json] <command>"
                          << "get-file <key> [destination]";
    QTest::newRow("set") << QStringList{"set", "--help"}
                         << "Usage: vdsctl set [options] <key> <value>..."
                         << "--type <type>";
    QTest::newRow("get") << QStringList{"get", "-h"} << "Usage: vdsctl get [options] <key>"
                         << "--globals";
    QTest::newRow("help before command")
        << QStringList{"--help", "rm"} << "Usage: vdsctl rm [options] <key>"
        << "--uuid <uuid>";
    QTest::newRow("type") << QStringList{"type", "--help"} << "Usage: vdsctl type [options] <key>"
                          << "--mqtt";
    QTest::newRow("watch") << QStringList{"watch", "--help"}
                           << "Usage: vdsctl watch [options] <key>..."
                           << "--timeout <seconds>";
    QTest::newRow("cmd") << QStringList{"cmd", "--help"}
                         << "Usage: vdsctl cmd [options] <command> [parameter...]"
                         << "clear clients cache";
    QTest::newRow("status") << QStringList{"status", "--help"}
                            << "Usage: vdsctl status [options] <text>"
                            << "--output <format>";
    QTest::newRow("put-file") << QStringList{"put-file", "--help"}
                              << "Usage: vdsctl put-file [options] <key> <file>"
                              << "--max-frame-size";
    QTest::newRow("get-file") << QStringList{"get-file", "--help"}
                              << "Usage: vdsctl get-file [options] <key> [destination]"
                              << "standard output";
}

void TestVdsctl::help()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, usage);
    QFETCH(QString, mentions);

    // Help needs no server: run it where none could be reached.
    const Run run = vdsctl(arguments, QByteArray(), m_noServer->environment());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QByteArray());
    const QString text = QString::fromUtf8(run.out);
    QVERIFY2(text.startsWith(usage), qPrintable(text));
    QVERIFY2(text.contains(mentions), qPrintable(text));
    QVERIFY2(text.contains("Exit codes:\n  0  success\n  1  the value does not exist"),
             qPrintable(text));
    QVERIFY2(text.contains("  4  time-out"), qPrintable(text));
}

void TestVdsctl::storeAndRead_data()
{
    QTest::addColumn<QStringList>("name");
    QTest::addColumn<QStringList>("value");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("type");

    const QByteArray none;
    QTest::newRow("int") << QStringList{"speed", "-u", "m1"} << QStringList{"--type", "int", "42"}
                         << none << QByteArray("42\n") << QByteArray("42") << "int";
    QTest::newRow("negative int") << QStringList{"offset", "-u", "m1"}
                                  << QStringList{"-t", "int", "-7"} << none << QByteArray("-7\n")
                                  << QByteArray("-7") << "int";
    QTest::newRow("double") << QStringList{"ratio", "--uuid", "m1"}
                            << QStringList{"--type", "double", "2.5"} << none << QByteArray("2.5\n")
                            << QByteArray("2.5") << "double";
    QTest::newRow("negative double without uuid")
        << QStringList{"temperature"} << QStringList{"--type", "double", "-0.125"} << none
        << QByteArray("-0.125\n") << QByteArray("-0.125") << "double";
    QTest::newRow("string by default")
        << QStringList{"greeting", "-u", "m1"} << QStringList{"hello world"} << none
        << QByteArray("hello world\n") << QByteArray("\"hello world\"") << "string";
    QTest::newRow("bool") << QStringList{"enabled", "-u", "m1"}
                          << QStringList{"--type", "bool", "yes"} << none << QByteArray("true\n")
                          << QByteArray("true") << "bool";
    QTest::newRow("strings") << QStringList{"names", "-u", "m1"}
                             << QStringList{"--type", "strings", "a", "b c"} << none
                             << QByteArray("a\nb c\n") << QByteArray("[\"a\",\"b c\"]")
                             << "strings";
    QTest::newRow("doubles") << QStringList{"gains"}
                             << QStringList{"--type", "doubles", "1.5", "-2"} << none
                             << QByteArray("1.5\n-2\n") << QByteArray("[1.5,-2]") << "doubles";
    QTest::newRow("ints") << QStringList{"counts", "-u", "m1"}
                          << QStringList{"--type", "ints", "1", "2", "3"} << none
                          << QByteArray("1\n2\n3\n") << QByteArray("[1,2,3]") << "ints";
    QTest::newRow("strings without items")
        << QStringList{"none"} << QStringList{"--type", "strings"} << none << QByteArray()
        << QByteArray("[]") << "strings";
    QTest::newRow("doubles not finite, when allowed")
        << QStringList{"edges"}
        << QStringList{"-t", "doubles", "--allow-nonfinite", "1", "nan", "-inf"} << none
        << QByteArray("1\nnan\n-inf\n") << QByteArray("[1,\"nan\",\"-inf\"]") << "doubles";
    QTest::newRow("empty ints from input")
        << QStringList{"nothing"} << QStringList{"--type", "ints", "-"} << QByteArray()
        << QByteArray() << QByteArray("[]") << "ints";
    QTest::newRow("variant number")
        << QStringList{"mixed1"} << QStringList{"--type", "variant", "5"} << none
        << QByteArray("5\n") << QByteArray("5") << "variant";
    QTest::newRow("variant list") << QStringList{"mixed2"}
                                  << QStringList{"--type", "variant", "[1,\"x\",true]"} << none
                                  << QByteArray("1\nx\ntrue\n") << QByteArray("[1,\"x\",true]")
                                  << "variant";
    QTest::newRow("variant object")
        << QStringList{"mixed3"} << QStringList{"--type", "variant", "{\"a\":1}"} << none
        << QByteArray("{\"a\":1}\n") << QByteArray("{\"a\":1}") << "variant";
    QTest::newRow("variant plain text")
        << QStringList{"mixed4"} << QStringList{"--type", "variant", "not json"} << none
        << QByteArray("not json\n") << QByteArray("\"not json\"") << "variant";
    QTest::newRow("string from input")
        << QStringList{"note"} << QStringList{"-"} << QByteArray("two\nlines\n")
        << QByteArray("two\nlines\n") << QByteArray("\"two\\nlines\"") << "string";
    QTest::newRow("strings from input")
        << QStringList{"list", "-u", "m1"} << QStringList{"--type", "strings", "-"}
        << QByteArray("x\r\ny\n") << QByteArray("x\ny\n") << QByteArray("[\"x\",\"y\"]")
        << "strings";
    QTest::newRow("globals int") << QStringList{"--globals", "limit"}
                                 << QStringList{"--type", "int", "7"} << none << QByteArray("7\n")
                                 << QByteArray("7") << "int";
    QTest::newRow("globals double")
        << QStringList{"--globals", "gain"} << QStringList{"-t", "double", "0.5"} << none
        << QByteArray("0.5\n") << QByteArray("0.5") << "double";
    QTest::newRow("globals string")
        << QStringList{"--globals", "site"} << QStringList{"plant 1"} << none
        << QByteArray("plant 1\n") << QByteArray("\"plant 1\"") << "string";
    QTest::newRow("globals variant as double")
        << QStringList{"--globals", "factor"} << QStringList{"--type", "variant", "2.5"} << none
        << QByteArray("2.5\n") << QByteArray("2.5") << "double";
    QTest::newRow("opcua int") << QStringList{"--opcua", "ns=2;s=Speed"}
                               << QStringList{"--type", "int", "1500"} << none
                               << QByteArray("1500\n") << QByteArray("1500") << "int";
    QTest::newRow("opcua string") << QStringList{"--opcua", "ns=2;s=Name"} << QStringList{"pump"}
                                  << none << QByteArray("pump\n") << QByteArray("\"pump\"")
                                  << "string";
    QTest::newRow("mqtt double") << QStringList{"--mqtt", "plant/temp"}
                                 << QStringList{"--type", "double", "21.5"} << none
                                 << QByteArray("21.5\n") << QByteArray("21.5") << "double";
}

void TestVdsctl::storeAndRead()
{
    QFETCH(QStringList, name);
    QFETCH(QStringList, value);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, json);
    QFETCH(QString, type);

    const Run set = vdsctl(QStringList{"set"} + name + value, input);
    QCOMPARE(set.err, QByteArray());
    QCOMPARE(set.exitCode, 0);
    QCOMPARE(set.out, QByteArray());

    const Run get = vdsctl(QStringList{"get"} + name);
    QCOMPARE(get.err, QByteArray());
    QCOMPARE(get.exitCode, 0);
    QCOMPARE(get.out, text);

    const Run getJson = vdsctl(QStringList{"--output", "json", "get"} + name);
    QCOMPARE(getJson.exitCode, 0);
    QVERIFY(getJson.out.endsWith('\n'));
    QCOMPARE(getJson.out.count('\n'), 1);
    const QJsonObject object = QJsonDocument::fromJson(getJson.out).object();
    QCOMPARE(object.value("type").toString(), type);
    QCOMPARE(object.value("value"), jsonValue(json));
    const bool runtime = !name.first().startsWith("--");
    QCOMPARE(object.value("key").toString(), runtime ? name.first() : name.at(1));
    QCOMPARE(object.value("kind").toString(),
             runtime ? QStringLiteral("runtime") : name.first().mid(2));
    QCOMPARE(object.contains("uuid"), runtime);

    const Run typeRun = vdsctl(QStringList{"type"} + name);
    QCOMPARE(typeRun.exitCode, 0);
    QCOMPARE(typeRun.out, type.toUtf8() + '\n');
}

void TestVdsctl::remove_data()
{
    QTest::addColumn<QStringList>("name");
    QTest::addColumn<QStringList>("value");
    QTest::addColumn<QByteArray>("missing");

    QTest::newRow("runtime") << QStringList{"gone", "-u", "r1"} << QStringList{"--type", "int", "1"}
                             << QByteArray("error: no value gone/r1\n");
    QTest::newRow("globals") << QStringList{"--globals", "gone"} << QStringList{"x"}
                             << QByteArray("error: no value globals:gone\n");
    // Removing what is not there succeeds, as the server's answer says done.
    QTest::newRow("never stored") << QStringList{"never"} << QStringList()
                                  << QByteArray("error: no value never\n");
}

void TestVdsctl::remove()
{
    QFETCH(QStringList, name);
    QFETCH(QStringList, value);
    QFETCH(QByteArray, missing);

    if (!value.isEmpty())
        QCOMPARE(vdsctl(QStringList{"set"} + name + value).exitCode, 0);
    const Run rm = vdsctl(QStringList{"rm"} + name);
    QCOMPARE(rm.err, QByteArray());
    QCOMPARE(rm.exitCode, 0);
    QCOMPARE(rm.out, QByteArray());
    const Run get = vdsctl(QStringList{"get"} + name);
    QCOMPARE(get.exitCode, 1);
    QCOMPARE(get.err, missing);
    QCOMPARE(get.out, QByteArray());
}

void TestVdsctl::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("no command") << QStringList() << "no command given";
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << "unknown command";
    QTest::newRow("unknown option") << QStringList{"get", "k", "--frob"} << "frob";
    QTest::newRow("output format")
        << QStringList{"--output", "xml", "get", "k"} << "--output takes text or json";
    QTest::newRow("output format after command")
        << QStringList{"get", "k", "--output", "yaml"} << "--output takes text or json";
    QTest::newRow("no key") << QStringList{"get"} << "usage: vdsctl get [options] <key>";
    QTest::newRow("two keys") << QStringList{"type", "a", "b"} << "wrong number of arguments";
    QTest::newRow("empty key") << QStringList{"get", ""} << "a key must not be empty";
    QTest::newRow("set without value") << QStringList{"set", "k"} << "wrong number of arguments";
    QTest::newRow("two values for an int") << QStringList{"set", "k", "-t", "int", "1", "2"}
                                           << "an int value takes exactly one argument";
    QTest::newRow("int without value")
        << QStringList{"set", "k", "-t", "int"} << "wrong number of arguments";
    QTest::newRow("nan") << QStringList{"set", "k", "-t", "double", "nan"}
                         << "'nan' is not a finite number; give --allow-nonfinite";
    QTest::newRow("inf in a list")
        << QStringList{"set", "k", "-t", "doubles", "1", "-inf"} << "'-inf' is not a finite number";
    QTest::newRow("not an int") << QStringList{"set", "k", "--type", "int", "1.5"}
                                << "'1.5' is not an int";
    QTest::newRow("not a double") << QStringList{"set", "k", "--type", "doubles", "1", "x"}
                                  << "'x' is not a number";
    QTest::newRow("not a bool") << QStringList{"set", "k", "--type", "bool", "maybe"}
                                << "is not a bool";
    QTest::newRow("unknown type") << QStringList{"set", "k", "--type", "float", "1"}
                                  << "unknown type 'float'";
    QTest::newRow("file type") << QStringList{"set", "k", "--type", "file", "x"}
                               << "files are stored with put-file";
    QTest::newRow("globals bool") << QStringList{"set", "--globals", "k", "-t", "bool", "true"}
                                  << "a globals value cannot be of type bool";
    QTest::newRow("mqtt list") << QStringList{"set", "--mqtt", "k", "-t", "ints", "1"}
                               << "a mqtt value cannot be of type ints";
    QTest::newRow("opcua bool") << QStringList{"set", "--opcua", "k", "-t", "bool", "1"}
                                << "an opcua value cannot be of type bool";
    QTest::newRow("two kinds") << QStringList{"get", "--globals", "--opcua", "k"}
                               << "only one of --globals, --opcua, --mqtt";
    QTest::newRow("uuid of a globals value")
        << QStringList{"get", "--globals", "-u", "x", "k"} << "--uuid names runtime values only";
    QTest::newRow("rm opcua") << QStringList{"rm", "--opcua", "k"}
                              << "rm works on runtime and globals values only";
    QTest::newRow("watch globals")
        << QStringList{"watch", "--globals", "k"} << "watch works on runtime values only";
    QTest::newRow("watch uuids") << QStringList{"watch", "a", "b", "c", "-u", "1", "-u", "2"}
                                 << "one --uuid for all keys, or one per key";
    QTest::newRow("watch count") << QStringList{"watch", "k", "--count", "0"}
                                 << "--count takes a whole number above 0";
    QTest::newRow("watch timeout")
        << QStringList{"watch", "k", "--timeout", "soon"} << "--timeout takes a number of seconds";
    QTest::newRow("cmd without command") << QStringList{"cmd"} << "wrong number of arguments";
    QTest::newRow("status without text") << QStringList{"status"} << "wrong number of arguments";
    QTest::newRow("put-file mqtt")
        << QStringList{"put-file", "--mqtt", "k", "x"} << "put-file works on runtime values only";
    QTest::newRow("put-file of a missing file")
        << QStringList{"put-file", "k", "/nonexistent/file"} << "cannot read the file";
    QTest::newRow("get-file into a missing folder")
        << QStringList{"get-file", "k", "/nonexistent/folder/file"} << "does not exist";
}

void TestVdsctl::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const Run run = vdsctl(arguments);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(isOneErrorLine(run.err), run.err.constData());
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
}

void TestVdsctl::missingValues_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("error");

    const QStringList none;
    QTest::newRow("get runtime") << none << QStringList{"get", "absent", "-u", "x"}
                                 << QByteArray("error: no value absent/x\n");
    QTest::newRow("type runtime") << none << QStringList{"type", "absent"}
                                  << QByteArray("error: no value absent\n");
    QTest::newRow("get globals") << none << QStringList{"get", "--globals", "absent"}
                                 << QByteArray("error: no value globals:absent\n");
    QTest::newRow("type opcua") << none << QStringList{"type", "--opcua", "absent"}
                                << QByteArray("error: no value opcua:absent\n");
    QTest::newRow("get mqtt") << none << QStringList{"get", "--mqtt", "absent"}
                              << QByteArray("error: no value mqtt:absent\n");
    QTest::newRow("get-file") << none << QStringList{"get-file", "absent", "-"}
                              << QByteArray("error: no file value absent\n");
    QTest::newRow("get-file of an int")
        << QStringList{"set", "number", "-t", "int", "3"} << QStringList{"get-file", "number", "-"}
        << QByteArray("error: no file value number\n");
    QTest::newRow("get of a file")
        << QStringList{"put-file", "document", "-"} << QStringList{"get", "document"}
        << QByteArray("error: document is a file value; fetch it "
                      "with get-file\n");
}

void TestVdsctl::missingValues()
{
    QFETCH(QStringList, setup);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, error);

    if (!setup.isEmpty())
        QCOMPARE(vdsctl(setup, "content").exitCode, 0);
    const Run run = vdsctl(arguments);
    QCOMPARE(run.err, error);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QByteArray());
}

void TestVdsctl::unreachable_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    const QString notAllowed = QStringLiteral("error: Not allowed to start VelDataServer\n");
    const QString refused = QStringLiteral("error: FAILED to connect to the VelDataServer: ");
    QTest::newRow("set") << "none" << QStringList{"set", "k", "v"} << notAllowed;
    QTest::newRow("get") << "none" << QStringList{"get", "k"} << notAllowed;
    QTest::newRow("get globals") << "none" << QStringList{"get", "--globals", "k"} << notAllowed;
    QTest::newRow("get mqtt") << "none" << QStringList{"get", "--mqtt", "k"} << notAllowed;
    QTest::newRow("rm") << "none" << QStringList{"rm", "k"} << notAllowed;
    QTest::newRow("type") << "none" << QStringList{"type", "k"} << notAllowed;
    QTest::newRow("watch") << "none" << QStringList{"watch", "k"} << notAllowed;
    QTest::newRow("cmd") << "none" << QStringList{"cmd", "hello"} << notAllowed;
    QTest::newRow("status") << "none" << QStringList{"status", "busy"} << notAllowed;
    QTest::newRow("put-file") << "none" << QStringList{"put-file", "k", "-"} << notAllowed;
    QTest::newRow("get-file") << "none" << QStringList{"get-file", "k", "-"} << notAllowed;
    QTest::newRow("autostart disabled")
        << "off" << QStringList{"get", "k"}
        << "error: Not allowed to start VelDataServer (VELDATASERVER_AUTOSTART_DISABLE)\n";
    QTest::newRow("set, port closed") << "closed" << QStringList{"set", "k", "v"} << refused;
    QTest::newRow("globals, port closed")
        << "closed" << QStringList{"get", "--globals", "k"} << refused;
    QTest::newRow("watch, port closed") << "closed" << QStringList{"watch", "k"} << refused;
    QTest::newRow("pinned certificate differs")
        << "tls" << QStringList{"get", "k"} << "error: Server certificate fingerprint mismatch: ";
    QTest::newRow("TLS against a plain server")
        << "plain" << QStringList{"get", "k"} << "error: TLS handshake with VelDataServer failed: ";
}

void TestVdsctl::unreachable()
{
    QFETCH(QString, where);
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);

    QProcessEnvironment environment;
    if (where == QLatin1String("none")) {
        environment = m_noServer->environment();
    } else if (where == QLatin1String("closed")) {
        environment = m_closedPort->environment();
    } else if (where == QLatin1String("off")) {
        environment = m_autostartDisabled->environment();
        environment.insert("VELDATASERVER_AUTOSTART_DISABLE", "1");
    }
    // A TLS client pinned to a certificate no server has: a TLS server of its
    // own shows another one, the shared plain server fails the handshake.
    std::unique_ptr<ServerSandbox> sandbox;
    if (where == QLatin1String("tls") || where == QLatin1String("plain")) {
        const QString settings = work(where + "/xdg/Haltra/VelDataServer.conf");
        const bool tls = where == QLatin1String("tls");
        sandbox = std::make_unique<ServerSandbox>(
            work(where + "/xdg"), tls ? work("tls/tmp") : m_sandbox->environment().value("TMPDIR"));
        QSettings(settings, QSettings::IniFormat).setValue("Settings/encryption", 1);
        QVERIFY(tls ? sandbox->startServer() : sandbox->pointAt(m_sandbox->port()));
        QSettings client(settings, QSettings::IniFormat);
        client.setValue("Settings/encryption", 1);
        client.setValue("Settings/serverCertificateSha256", QString(64, QLatin1Char('f')));
        environment = sandbox->environment();
    }
    const Run run = vdsctl(arguments, "content", environment);
    QCOMPARE(run.exitCode, 3);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(isOneErrorLine(run.err), run.err.constData());
    QVERIFY2(run.err.startsWith(error.toUtf8()), run.err.constData());
}

void TestVdsctl::timeouts_data()
{
    QTest::addColumn<bool>("silentServer");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("watch ends before its count")
        << false << QStringList{"watch", "quiet", "-n", "2", "--timeout", "0.3"}
        << QByteArray("error: time-out after 0 of 2 changes\n");
    QTest::newRow("server does not answer")
        << true << QStringList{"set", "k", "v"} << QByteArray("error: Timeout reached\n");
}

void TestVdsctl::timeouts()
{
    QFETCH(bool, silentServer);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, error);

    // A listener that never answers: the kernel accepts the connection and
    // keeps what the client sends, and no reply ever comes.
    QTcpServer silent;
    QProcessEnvironment environment;
    std::unique_ptr<ServerSandbox> sandbox;
    if (silentServer) {
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        sandbox = std::make_unique<ServerSandbox>(work("silent/xdg"),
                                                  m_sandbox->environment().value("TMPDIR"));
        QVERIFY(sandbox->pointAt(silent.serverPort()));
        environment = sandbox->environment();
    }
    const Run run = vdsctl(arguments, QByteArray(), environment);
    QCOMPARE(run.err, error);
    QCOMPARE(run.exitCode, 4);
    QCOMPARE(run.out, QByteArray());
}

void TestVdsctl::serverEndsTheRequest_data()
{
    QTest::addColumn<QStringList>("serverArguments");
    QTest::addColumn<bool>("fetch");
    QTest::addColumn<bool>("terminate");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");

    const QString lost = QStringLiteral("^error: Connection to server closed: .+\n$");
    // The limit counts the 16-byte header; the refusal names payload bytes.
    QTest::newRow("put-file over the frame limit")
        << QStringList{"--max-frame-size", "65536"} << false << false << 1
        << "^error: Request too large: \\d+ bytes, limit 65520\n$";
    QTest::newRow("server terminated during put-file")
        << QStringList() << false << true << 3 << lost;
    QTest::newRow("server terminated during get-file")
        << QStringList() << true << true << 3 << lost;
}

void TestVdsctl::serverEndsTheRequest()
{
    QFETCH(QStringList, serverArguments);
    QFETCH(bool, fetch);
    QFETCH(bool, terminate);
    QFETCH(int, exitCode);
    QFETCH(QString, error);

    const QString folder = work(QStringLiteral("ends/%1").arg(QTest::currentDataTag()));
    ServerSandbox sandbox(folder + "/xdg", folder + "/tmp");
    QVERIFY(sandbox.startServer(serverArguments));
    const QString source = folder + "/big.bin";
    QVERIFY(writeFile(source, QByteArray(32 << 20, 'b')));
    if (fetch)
        QCOMPARE(vdsctl({"put-file", "big", source}, QByteArray(), sandbox.environment()).exitCode,
                 0);

    const pid_t server = pid_t(sandbox.server()->processId());
    if (terminate)
        QCOMPARE(::kill(server, SIGSTOP), 0);
    QProcess process;
    process.setProcessEnvironment(sandbox.environment());
    process.start(m_program, fetch ? QStringList{"get-file", "big", folder + "/out.bin"}
                                   : QStringList{"put-file", "big", source});
    if (terminate) {
        // Once the request has reached the stopped server, so that the end
        // meets it in flight however slow the machine is.
        const QDeadlineTimer deadline(RunTimeoutMs);
        while (!ServerProcess::hasUnreadInput(sandbox.port()) && !deadline.hasExpired())
            QThread::msleep(10);
        ::kill(server, SIGTERM);
        ::kill(server, SIGCONT);
    }
    QVERIFY(process.waitForFinished(RunTimeoutMs));
    const QByteArray err = process.readAllStandardError();
    QVERIFY2(QRegularExpression(error).match(QString::fromUtf8(err)).hasMatch(), err.constData());
    QCOMPARE(process.exitCode(), exitCode);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    // Nothing is left where the file would have gone.
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"big.bin", "tmp", "xdg"}));
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
    QTest::addColumn<QStringList>("watched");
    QTest::addColumn<QList<QStringList>>("changes");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("text") << QStringList{"w1", "w2", "-u", "a", "-u", "b"}
                          << QList<QStringList>{{"set", "w1", "-u", "a", "-t", "int", "5"},
                                                {"set", "w2", "-u", "b", "-t", "strings", "x", "y"},
                                                {"rm", "w1", "-u", "a"}}
                          << QStringList{"w1/a 5", "w2/b x, y", "w1/a (removed)"};
    QTest::newRow("json")
        << QStringList{"--output", "json", "j1", "-u", "a"}
        << QList<QStringList>{{"set", "j1", "-u", "a", "-t", "double", "1.5"},
                              {"rm", "j1", "-u", "a"}}
        << QStringList{R"({"key":"j1","kind":"runtime","type":"double","uuid":"a","value":1.5})",
                       R"({"key":"j1","kind":"runtime","removed":true,"uuid":"a"})"};
    QTest::newRow("file value") << QStringList{"f1"} << QList<QStringList>{{"put-file", "f1", "-"}}
                                << QStringList{"f1 (file)"};
}

void TestVdsctl::watch()
{
    QFETCH(QStringList, watched);
    QFETCH(QList<QStringList>, changes);
    QFETCH(QStringList, lines);

    QProcess watcher;
    startWatch(watcher,
               watched + QStringList{"--count", QString::number(lines.size()), "--timeout", "30"});
    if (QTest::currentTestFailed())
        return;
    for (int i = 0; i < changes.size(); ++i) {
        // A value no one watches changes too, and must not show.
        QCOMPARE(vdsctl({"set", "unwatched", "-u", "a", "x"}).exitCode, 0);
        QCOMPARE(vdsctl(changes.at(i), "content").exitCode, 0);
        // Each line is awaited before the next change, which would otherwise
        // overtake the read of the one before.
        QCOMPARE(QString::fromUtf8(readLine(watcher)), lines.at(i) + '\n');
    }
    QVERIFY(watcher.waitForFinished(RunTimeoutMs));
    QCOMPARE(watcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watcher.exitCode(), 0);
    QCOMPARE(watcher.readAllStandardOutput(), QByteArray());
    QCOMPARE(watcher.readAllStandardError(), QByteArray());
}

void TestVdsctl::watchEnds_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("SIGINT") << SIGINT << QStringList{"idle1"};
    QTest::newRow("SIGTERM") << SIGTERM << QStringList{"idle2", "idle3", "-u", "x"};
    QTest::newRow("time limit without a count") << 0 << QStringList{"idle4", "--timeout", "0.2"};
}

void TestVdsctl::watchEnds()
{
    QFETCH(int, signalNumber);
    QFETCH(QStringList, arguments);

    QProcess watcher;
    startWatch(watcher, arguments);
    if (QTest::currentTestFailed())
        return;
    if (signalNumber)
        ::kill(pid_t(watcher.processId()), signalNumber);
    QVERIFY(watcher.waitForFinished(RunTimeoutMs));
    QCOMPARE(watcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watcher.exitCode(), 0);
    QCOMPARE(watcher.readAllStandardOutput(), QByteArray());
    QCOMPARE(watcher.readAllStandardError(), QByteArray());
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
        QCOMPARE(watcher.exitCode(), 3);
        QCOMPARE(watcher.readAllStandardError(),
                 QByteArray("error: Not allowed to start VelDataServer\n"));
        return;
    }
    // Whichever client comes first starts the server again; the watch
    // subscribes anew within its keep-alive period, so changes are repeated
    // until one shows.
    for (int attempt = 0; attempt < 60 && watcher.state() == QProcess::Running; ++attempt) {
        const QStringList set{"set", "kept", "-t", "int", QString::number(attempt)};
        QCOMPARE(vdsctl(set, QByteArray(), sandbox.environment()).exitCode, 0);
        if (watcher.waitForFinished(250))
            break;
    }
    QCOMPARE(watcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watcher.exitCode(), 0);
    QVERIFY(watcher.readAllStandardOutput().startsWith("kept "));
    QVERIFY(sandbox.stopStartedServers() >= 1);
}

void TestVdsctl::files_data()
{
    QTest::addColumn<QStringList>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fromInput");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("saved");

    // The destination "" is the folder of the test; a relative file name is
    // saved where vdsctl runs.
    QTest::newRow("into a folder") << QStringList{"doc1", "-u", "f"} << 10 << false << "out1"
                                   << "out1/data-10.bin";
    QTest::newRow("empty file") << QStringList{"doc2"} << 0 << false << "out2"
                                << "out2/data-0.bin";
    QTest::newRow("several pieces into a file name")
        << QStringList{"doc3"} << 200000 << false << "out3/copy.bin"
        << "out3/copy.bin";
    QTest::newRow("replacing a longer file")
        << QStringList{"doc4"} << 100 << false << "out4/old.bin"
        << "out4/old.bin";
    QTest::newRow("to standard output") << QStringList{"doc5", "-u", "f"} << 70000 << false << "-"
                                        << "";
    QTest::newRow("from standard input")
        << QStringList{"doc6", "--name", "piped.txt"} << 1000 << true << "out6"
        << "out6/piped.txt";
    QTest::newRow("large, no progress in a pipe")
        << QStringList{"doc7"} << 5 * 1024 * 1024 << false << "out7"
        << "out7/data-5242880.bin";
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
    QVERIFY(writeFile(work("out4/old.bin"), pattern(size * 3)));
    if (destination != "-")
        QDir().mkpath(work(destination.section('/', 0, 0)));

    const Run put = vdsctl(QStringList{"put-file"} + name + QStringList{fromInput ? "-" : source},
                           fromInput ? content : QByteArray());
    QCOMPARE(put.err, QByteArray());
    QCOMPARE(put.exitCode, 0);
    QCOMPARE(put.out, QByteArray());

    QStringList key = name;
    if (key.contains("--name"))
        key.erase(key.begin() + key.indexOf("--name"), key.begin() + key.indexOf("--name") + 2);
    const Run type = vdsctl(QStringList{"type"} + key);
    QCOMPARE(type.out, QByteArray("file\n"));

    const QString target = destination == "-" ? destination : work(destination);
    const Run get = vdsctl(QStringList{"get-file"} + key + QStringList{target});
    QCOMPARE(get.err, QByteArray());
    QCOMPARE(get.exitCode, 0);
    if (saved.isEmpty()) {
        QCOMPARE(get.out.size(), content.size());
        QVERIFY(get.out == content);
        return;
    }
    QCOMPARE(QDir::cleanPath(QString::fromUtf8(get.out.trimmed())), work(saved));
    const QByteArray fetched = readFile(work(saved));
    QCOMPARE(fetched.size(), content.size());
    QVERIFY(fetched == content);
    // Only the file arrives; the folder the fetch went through is gone.
    QCOMPARE(QDir(QFileInfo(work(saved)).absolutePath())
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                 .size(),
             1);

    const Run json =
        vdsctl(QStringList{"--output", "json", "get-file"} + key + QStringList{work(saved)});
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
    QTest::newRow("device node") << "device" << 0 << "";
    QTest::newRow("full device") << "/dev/full" << 2
                                 << "error: cannot write '%1': No space left on device\n";
}

// An existing destination is written through, never replaced by another file.
void TestVdsctl::fileDestinations()
{
    QFETCH(QString, place);
    QFETCH(int, exitCode);
    QFETCH(QString, error);

    const QByteArray content = pattern(70000);
    const QString source = work("destinations/source.bin");
    QVERIFY(writeFile(source, content));
    QCOMPARE(vdsctl({"put-file", "dest", source}).exitCode, 0);

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
    } else if (place == "device") {
        // A node of its own with the numbers of /dev/null.
        if (::mknod(path.constData(), S_IFCHR | 0600, makedev(1, 3)) != 0)
            QSKIP("creating a device node needs root");
    } else if (place == "/dev/full") {
        target = place;
        if (!QFileInfo::exists(target))
            QSKIP("no /dev/full here");
    }

    const Run get = vdsctl({"get-file", "dest", target});
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

void TestVdsctl::commandAndStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("logged");

    QTest::newRow("cmd") << QStringList{"cmd", "reload", "plant 1", "fast"}
                         << "command: reload plant 1 fast";
    QTest::newRow("status") << QStringList{"status", "busy since noon"}
                            << "status: busy since noon";
}

void TestVdsctl::commandAndStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, logged);

    const Run run = vdsctl(arguments);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray());
    // vdsctl returned after an answer the server sent behind the command, so
    // the server's log line is written; reading it from the pipe may lag.
    QTRY_VERIFY_WITH_TIMEOUT(m_sandbox->server()->errorOutput().contains(logged.toUtf8()), 10000);
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
