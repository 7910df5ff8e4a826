// vdsctl's core run in this process against a real VelDataServer, for what a
// command means and prints; the vdsctl program once per command and exit code,
// and for what only a process shows: a watch beside changes, a terminal, and
// the server it starts.

#include "ExitCode.h"
#include "ServerProcess.h"
#include "TestSupport.h"
#include "VdsProtocol.h"
#include "Vdsctl.h"

#include <QTcpServer>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace TestSupport;
namespace Settings = VdsProtocol::Settings;

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
const auto words = [](const QString &line) {
    return QProcess::splitCommand(line).replaceInStrings(QRegularExpression("^''$"), QString());
};

const auto writeFile = [](const QString &path, const QByteArray &content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
};
const auto readFile = [](const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
};

Run runProgram(const QString &program, const QStringList &arguments, const QByteArray &input,
               const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    Run run;
    if (process.waitForFinished(RunTimeoutMs) && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

/// vdsctl's core with `input` as this process's standard input, its standard
/// output and error caught as the program's own would be.
Run core(const QStringList &arguments, const QByteArray &input = QByteArray())
{
    QTemporaryFile files[3];
    for (QTemporaryFile &file : files)
        file.open();
    if (files[0].write(input) != input.size() || !files[0].flush() || !files[0].seek(0))
        return Run();
    std::fflush(nullptr);
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) {
        saved[fd] = ::dup(fd);
        ::dup2(files[fd].handle(), fd);
    }
    // The stream forgets where an earlier run left it in another file.
    std::fseek(stdin, 0, SEEK_SET);
    const int exitCode = Vdsctl().run(QStringList{"vdsctl"} + arguments);
    // What the stream holds of this file must not be read as the next one's.
    std::fflush(stdin);
    std::fflush(nullptr);
    for (int fd = 0; fd < 3; ++fd) {
        ::dup2(saved[fd], fd);
        ::close(saved[fd]);
    }
    std::clearerr(stdin);
    return Run{exitCode, readFile(files[1].fileName()), readFile(files[2].fileName())};
}

} // namespace

class TestVdsctl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void help();
    void commands_data();
    void commands();
    void files_data();
    void files();
    void watch();
    void progressOnTerminal();
    void autostart_data();
    void autostart();

private:
    /// Settings that lead clients to `port` and forbid a start, unless
    /// `more` says otherwise.
    void pointAt(quint16 port, const QVariantMap &more = {})
    {
        QVariantMap settings{{Settings::ServerPort, port}, {Settings::StartServerOnRequest, 0}};
        settings.insert(more);
        writeSettings(settings);
    }
    /// The vdsctl program from now on has `folder` as its TMPDIR, where no
    /// server is ready unless one is started there (and stopped after the row).
    void useTemp(const QString &folder)
    {
        QDir().mkpath(folder);
        m_environment.insert("TMPDIR", folder);
        m_environment.insert("XDG_DATA_HOME", folder + "/data");
        m_temps.append(folder);
    }
    QString rowFolder(const QString &area) const
    {
        QString tag = QString::fromUtf8(QTest::currentDataTag());
        const QString folder =
            m_work.filePath(area + '/' + tag.replace(QRegularExpression("\\W+"), "_"));
        QDir().mkpath(folder);
        return QFileInfo(folder).canonicalFilePath();
    }
    void startWatch(QProcess &process, const QStringList &arguments);

    QString m_program = QCoreApplication::applicationDirPath() + QStringLiteral("/vdsctl");
    QTemporaryDir m_work;
    std::unique_ptr<ServerProcess> m_server;
    QProcessEnvironment m_environment;
    QStringList m_temps;
};

void TestVdsctl::initTestCase()
{
    QVERIFY2(inSandbox(), "run through ctest, which gives the test its own TMPDIR and settings");
    // Every client here finds a ready server, which no start policy stands
    // in the way of; the autostart rows lift both.
    qputenv("VELDATASERVER_AUTOSTART_DISABLE", "1");
    QVERIFY(writeFile(m_work.filePath("source.bin"), "sent"));
    QVERIFY(writeFile(m_work.filePath("big.bin"), QByteArray(32 << 20, 'b')));
    m_server = std::make_unique<ServerProcess>(rowFolder("server"));
    QVERIFY(m_server->start({"--in-memory"}));
    // As vdsctl's main() does: its one error line says what the library would.
    QLoggingCategory::setFilterRules(QStringLiteral("veldata.client=false"));
    cleanup();
}

void TestVdsctl::cleanup()
{
    for (const QString &folder : qAsConst(m_temps))
        ServerProcess::stopStarted(folder);
    m_temps.clear();
    m_environment = QProcessEnvironment::systemEnvironment();
    pointAt(m_server->port());
}

void TestVdsctl::help()
{
    const std::pair<const char *, QByteArray> cases[] = {
        {"--help", "Usage: vdsctl [--output text|json] <command>"},
        {"set --help", "Usage: vdsctl set [options] <key> <value>..."},
        {"--help rm", "Usage: vdsctl rm [options] <key>"}};
    for (const auto &[arguments, usage] : cases) {
        const Run run = core(words(arguments));
        QVERIFY2(run.exitCode == ExitOk && run.err.isEmpty() && run.out.startsWith(usage) &&
                     run.out.contains("Exit codes:\n  0  success\n  1  the value does not exist") &&
                     run.out.contains("  4  time-out"),
                 run.out.constData());
    }
}

void TestVdsctl::commands_data()
{
    // `script`: commands run in turn with `input`, each but the last to
    // succeed; one marked "!" runs as the vdsctl program, the others in this
    // process. The last one's exit code, and its standard output, or a part
    // of its one error line. %1 is the test's folder. `server`, what the
    // settings lead to: the running server (""); "closed" (nobody at the
    // port); "silent" (a listener that never answers); "limited" (a server of
    // its own with a small file limit); "tls" (a TLS server) and "plain" (the
    // running one), met by a client pinned to another certificate; "none"
    // (no server ready, no start allowed).
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("logged");

    const auto row = [](const QString &name, const char *server, const QString &script,
                        int exitCode, const QByteArray &expected, const QByteArray &input = "",
                        const char *logged = "") {
        QTest::newRow(qPrintable(name))
            << server << script << exitCode << expected << input << QString(logged);
    };
    const auto missing = [&row](const char *script, const char *error) {
        row(script, "", script, ExitFailed, error);
    };
    const auto usage = [&row](const char *name, const char *script, const char *error) {
        row(name, "", script, ExitUsage, error);
    };
    // What set stores, get shows as text and as JSON; `json` is the type,
    // then the value as JSON shows it.
    const auto value = [&row](const QString &name, const QString &set, const QByteArray &text,
                              const QString &json, const QByteArray &input = "") {
        const QStringList parts = words(name);
        const bool runtime = !name.startsWith("--");
        const QString uuid = QStringLiteral(R"("uuid":"%1",)").arg(parts.value(2));
        const QString shown =
            QStringLiteral(R"({"key":"%1","kind":"%2","type":"%3",%4"value":%5})")
                .arg(parts.at(runtime ? 0 : 1),
                     runtime ? QStringLiteral("runtime") : parts.first().mid(2),
                     json.section(' ', 0, 0), runtime ? uuid : QString(), json.section(' ', 1));
        const QString stored = "set " + name + ' ' + set + " ; ";
        row(name + " as text", "", stored + "get " + name, ExitOk, text, input);
        row(name + " as JSON", "", stored + "--output json get " + name, ExitOk,
            shown.toUtf8() + '\n', input);
    };
    row("set", "", "!set s1 -t ints 1 2 ; get s1", ExitOk, "1\n2\n");
    row("get", "", "set g1 --type double -0.125 ; !--output json get g1", ExitOk,
        R"({"key":"g1","kind":"runtime","type":"double","uuid":"","value":-0.125})"
        "\n");
    row("type", "", "set t1 -t bool 1 ; !type t1", ExitOk, "bool\n");
    row("rm", "", "set gone -u r1 -t int 1 ; !rm gone -u r1 ; get gone -u r1", ExitFailed,
        "no value gone/r1\n");
    row("put-file", "", "!put-file p1 %1/source.bin ; get-file p1 -", ExitOk, "sent");
    row("get-file", "", "put-file f1 - ; !get-file f1 -", ExitOk, "stored", "stored");
    row("cmd", "", R"(!cmd reload "plant 1" fast)", ExitOk, "", "", "command: reload plant 1 fast");
    row("status", "", R"(!status "busy since noon")", ExitOk, "", "", "status: busy since noon");

    row("0: watch time limit without a count", "", "watch idle --timeout 0.2", ExitOk, "");
    row("1: no such value", "", "!get absent -u x", ExitFailed, "no value absent/x\n");
    row("1: put-file over the file limit", "limited", "put-file big %1/big.bin", ExitFailed,
        "File too large: 33554432 bytes, limit 65536\n");
    row("2: usage", "", "!get", ExitUsage,
        "wrong number of arguments; usage: vdsctl get [options] <key>");
    row("3: no server, no start allowed", "none", "!get k", ExitUnreachable,
        "Not allowed to start VelDataServer\n");
    row("3: pinned certificate differs", "tls", "get k", ExitUnreachable,
        "Server certificate fingerprint mismatch: ");
    row("3: TLS against a plain server", "plain", "get k", ExitUnreachable,
        "TLS handshake with VelDataServer failed: ");
    // One row per way a command reaches the library ("type" is get's first
    // step, "status" is sent as "cmd" is). The test's server runs meanwhile,
    // on a port the settings no longer name.
    for (const char *command : {"set k v", "get k", "get --globals k", "get --mqtt k", "rm k",
                                "watch k", "cmd hello", "put-file k -", "get-file k %1/out.bin"})
        row(QStringLiteral("3: port closed: ") + command, "closed", command, ExitUnreachable,
            "FAILED to connect to the VelDataServer: Connection refused\na VelDataServer is "
            "running (pid ");
    row("4: server does not answer", "silent", "!set k v", ExitTimeout, "Timeout reached\n");
    row("4: watch ends before its count", "", "watch quiet -n 2 --timeout 0.3", ExitTimeout,
        "time-out after 0 of 2 changes\n");

    // One per type and kind of name the library is called with, and one per
    // way of writing a value (""" is a quote inside "...").
    value("negativeInt -u m1", "-t int -7", "-7\n", "int -7");
    value("plainString -u m1", "\"hello world\"", "hello world\n", R"(string "hello world")");
    value("yesBool --uuid m1", "--type bool yes", "true\n", "bool true");
    value("strings -u m1", "-t strings a \"b c\"", "a\nb c\n", R"(strings ["a","b c"])");
    value("doubles", "-t doubles 1.5 -2", "1.5\n-2\n", "doubles [1.5,-2]");
    value("ints -u m1", "-t ints 1 2 3", "1\n2\n3\n", "ints [1,2,3]");
    value("nonFinite", "-t doubles --allow-nonfinite 1 nan -inf", "1\nnan\n-inf\n",
          R"(doubles [1,"nan","-inf"])");
    value("noIntsFromInput", "-t ints -", "", "ints []");
    value("variantNumber", "-t variant 5", "5\n", "variant 5");
    value("variantList", R"(-t variant "[1,"""x""",true]")", "1\nx\ntrue\n",
          R"(variant [1,"x",true])");
    value("variantObject", R"(-t variant "{"""a""":1}")", "{\"a\":1}\n", R"(variant {"a":1})");
    value("variantText", "-t variant \"not json\"", "not json\n", R"(variant "not json")");
    value("stringFromInput", "-", "two\nlines\n", R"(string "two\nlines")", "two\nlines\n");
    value("stringsFromInput -u m1", "-t strings -", "x\ny\n", R"(strings ["x","y"])", "x\r\ny\n");
    value("--globals int", "-t int 7", "7\n", "int 7");
    value("--globals double", "-t double 0.5", "0.5\n", "double 0.5");
    value("--globals string", "\"plant 1\"", "plant 1\n", R"(string "plant 1")");
    value("--globals variantAsDouble", "-t variant 2.5", "2.5\n", "double 2.5");
    value("--opcua ns=2;s=Speed", "-t int 1500", "1500\n", "int 1500");
    value("--opcua ns=2;s=Name", "pump", "pump\n", R"(string "pump")");
    value("--mqtt plant/temp", "-t double 21.5", "21.5\n", "double 21.5");

    missing("type absent", "no value absent\n");
    missing("get --globals absent", "no value globals:absent\n");
    missing("type --opcua absent", "no value opcua:absent\n");
    missing("get --mqtt absent", "no value mqtt:absent\n");
    missing("get-file absent -", "no file value absent\n");
    missing("set number -t int 3 ; get-file number -", "no file value number\n");
    missing("put-file document - ; get document",
            "document is a file value; fetch it with get-file\n");
    missing("set --globals gone x ; rm --globals gone ; get --globals gone",
            "no value globals:gone\n");
    // Removing what is not there succeeds, as the server's answer says done.
    missing("rm never ; get never", "no value never\n");

    usage("no command", "", "no command given");
    usage("unknown command", "frobnicate", "unknown command");
    usage("unknown option", "get k --frob", "frob");
    usage("output format", "--output xml get k", "--output takes text or json");
    usage("output format after command", "get k --output yaml", "--output takes text or json");
    usage("empty key", "get ''", "a key must not be empty");
    usage("int without value", "set k -t int", "wrong number of arguments");
    usage("two values for an int", "set k -t int 1 2", "an int value takes exactly one argument");
    usage("nan", "set k -t double nan", "'nan' is not a finite number; give --allow-nonfinite");
    usage("inf in a list", "set k -t doubles 1 -inf", "'-inf' is not a finite number");
    usage("not an int", "set k --type int 1.5", "'1.5' is not an int");
    usage("not a double", "set k --type doubles 1 x", "'x' is not a number");
    usage("not a bool", "set k --type bool maybe", "is not a bool");
    usage("unknown type", "set k --type float 1", "unknown type 'float'");
    usage("file type", "set k --type file x", "files are stored with put-file");
    usage("globals bool", "set --globals k -t bool true", "a globals value cannot be of type bool");
    usage("mqtt list", "set --mqtt k -t ints 1", "a mqtt value cannot be of type ints");
    usage("opcua bool", "set --opcua k -t bool 1", "an opcua value cannot be of type bool");
    usage("two kinds", "get --globals --opcua k", "only one of --globals, --opcua, --mqtt");
    usage("uuid of a globals value", "get --globals -u x k", "--uuid names runtime values only");
    usage("rm opcua", "rm --opcua k", "rm works on runtime and globals values only");
    usage("watch globals", "watch --globals k", "watch works on runtime values only");
    usage("watch uuids", "watch a b c -u 1 -u 2", "one --uuid for all keys, or one per key");
    usage("watch count", "watch k --count 0", "--count takes a whole number above 0");
    usage("watch timeout", "watch k --timeout soon", "--timeout takes a number of seconds");
    usage("put-file mqtt", "put-file --mqtt k x", "put-file works on runtime values only");
    usage("put-file of a missing file", "put-file k /nonexistent/file", "cannot read the file");
    usage("put-file of a device", "put-file k /dev/null", "is not a regular file; use -");
    usage("get-file into a missing folder", "get-file k /nonexistent/folder/f", "does not exist");
}

void TestVdsctl::commands()
{
    QFETCH(QString, server);
    QFETCH(QString, script);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, input);
    QFETCH(QString, logged);

    QTcpServer silent;
    // The kernel accepts the connection and keeps what the client sends.
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    std::unique_ptr<ServerProcess> other;
    quint16 port = server == "silent"   ? silent.serverPort()
                   : server == "closed" ? freePort()
                                        : m_server->port();
    QVariantMap settings;
    if (server == "tls" || server == "plain")
        settings = {{Settings::Encryption, 1},
                    {Settings::ServerCertificateSha256, QString(64, QLatin1Char('f'))}};
    if (server == "limited" || server == "tls") {
        // Its readiness block stays in a folder of its own; the running
        // server's tells this process that a server is ready.
        const QString folder = rowFolder("servers");
        other = std::make_unique<ServerProcess>(folder);
        other->setEnvironment("TMPDIR", folder);
        pointAt(0, {{Settings::Encryption, int(server == "tls")}});
        QVERIFY(other->start(words(server == "tls" ? "" : "--max-file-size 65536") +
                             QStringList{"--in-memory"}));
        port = other->port();
    } else if (server == "none") {
        useTemp(rowFolder("none"));
    }
    pointAt(port, settings);

    const QStringList steps = QString(script).replace("%1", m_work.path()).split(" ; ");
    Run run;
    for (int i = 0; i < steps.size(); ++i) {
        const QString &step = steps.at(i);
        run = step.startsWith('!') ? runProgram(m_program, words(step.mid(1)), input, m_environment)
                                   : core(words(step), input);
        if (i + 1 < steps.size())
            QVERIFY2(run.exitCode == ExitOk && run.err.isEmpty(), qPrintable(step + run.err));
    }
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out, exitCode == ExitOk ? expected : QByteArray());
    // An error is one line, and a hint a second one where `expected` has it.
    const int lines = expected.count('\n') + (expected.endsWith('\n') ? 0 : 1);
    if (exitCode == ExitOk)
        QCOMPARE(run.err, QByteArray());
    else
        QVERIFY2(run.err.startsWith("error: ") && run.err.endsWith('\n') &&
                     run.err.count('\n') == lines && run.err.contains(expected),
                 run.err.constData());
    // Nothing is left where a fetched file would have gone.
    QCOMPARE(
        QDir(m_work.path()).entryList({".vdsctl-*", "out.bin"}, QDir::AllEntries | QDir::Hidden),
        QStringList());
    // The program returned after an answer the server sent behind the
    // command, so the server's log line is written; reading it may lag.
    if (!logged.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(m_server->errorOutput().contains(logged.toUtf8()), 10000);
}

void TestVdsctl::files_data()
{
    // Where the fetched file goes (standard output is the program's row): a
    // new name, into a folder, or through an existing destination, which is
    // written through and never replaced. A failure's `error` names the
    // destination as %1.
    QTest::addColumn<QString>("place");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("error");

    QTest::newRow("new name, several pieces") << "new" << 200000 << "";
    QTest::newRow("empty, into a folder, as JSON") << "folder" << 0 << "";
    QTest::newRow("regular file with a second hard link") << "hard link" << 70000 << "";
    QTest::newRow("FIFO with a reader") << "FIFO" << 70000 << "";
    QTest::newRow("symbolic link to a file") << "link" << 70000 << "";
    QTest::newRow("symbolic link to nothing")
        << "dangling link" << 70000
        << "'%1' is a symbolic link to nothing; vdsctl writes through a link only to an "
           "existing file";
    QTest::newRow("full device") << "full device" << 70000
                                 << "cannot write '%1': No space left on device";
}

void TestVdsctl::files()
{
    QFETCH(QString, place);
    QFETCH(int, size);
    QFETCH(QString, error);

    const QByteArray content(size, 'c');
    QCOMPARE(core(words("put-file doc -u f --name data.bin -"), content).exitCode, int(ExitOk));
    const QString folder = rowFolder("files");
    QString target = place == "folder" ? folder : folder + "/target";
    // Where the content must arrive.
    QString arrival = place == "folder" ? folder + "/data.bin" : target;
    const QByteArray path = QFile::encodeName(target);
    QProcess reader;
    if (place == "hard link") {
        QVERIFY(writeFile(target, QByteArray(100000, 'p')));
        arrival = folder + "/second";
        QCOMPARE(::link(path.constData(), QFile::encodeName(arrival).constData()), 0);
    } else if (place == "FIFO") {
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        reader.start("cat", {target});
        QVERIFY(reader.waitForStarted(RunTimeoutMs));
    } else if (place == "link") {
        arrival = folder + "/real";
        QVERIFY(writeFile(arrival, QByteArray(100000, 'p')) && QFile::link(arrival, target));
    } else if (place == "dangling link") {
        QVERIFY(QFile::link(folder + "/absent", target));
    } else if (place == "full device") {
        // A node of its own with the numbers of /dev/full where that is
        // allowed (root), so that a broken fetch never replaces the system's;
        // others cannot write into /dev.
        if (::mknod(path.constData(), S_IFCHR | 0600, makedev(1, 7)) != 0)
            target = "/dev/full";
    }

    const QString format = place == "folder" ? "json" : "text";
    const Run get = core({"--output", format, "get-file", "doc", "-u", "f", target});
    QCOMPARE(QString::fromUtf8(get.err),
             error.isEmpty() ? error : "error: " + error.arg(target) + '\n');
    QCOMPARE(get.exitCode, int(error.isEmpty() ? ExitOk : ExitUsage));
    QVERIFY(!QFile::exists(folder + "/absent"));
    // Nothing of the fetch is left behind.
    QCOMPARE(QDir(folder).entryList({".vdsctl-*"}, QDir::AllEntries | QDir::Hidden), QStringList());
    if (!error.isEmpty()) {
        QCOMPARE(get.out, QByteArray());
        return;
    }
    QVERIFY(reader.waitForFinished(RunTimeoutMs) || place != "FIFO");
    QVERIFY((place == "FIFO" ? reader.readAllStandardOutput() : readFile(arrival)) == content);
    const QString json = R"({"file":"%1","key":"doc","kind":"runtime","size":0,"uuid":"f"})";
    QCOMPARE(QString::fromUtf8(get.out), (place == "folder" ? json.arg(arrival) : target) + '\n');
}

void TestVdsctl::startWatch(QProcess &process, const QStringList &arguments)
{
    process.setProcessEnvironment(m_environment);
    process.start(m_program, QStringList{"watch", "--verbose"} + arguments);
    process.setReadChannel(QProcess::StandardError);
    QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), RunTimeoutMs);
    QVERIFY(process.readLine().startsWith("watching "));
    process.setReadChannel(QProcess::StandardOutput);
}

void TestVdsctl::watch()
{
    const char *changes[] = {"set w1 -u a -t int 5", "set w2 -u b -t strings x y",
                             "put-file w1 -u a -", "rm w1 -u a"};
    const QStringList lines[] = {
        {"w1/a 5", "w2/b x, y", "w1/a (file)", "w1/a (removed)"},
        {R"({"key":"w1","kind":"runtime","type":"int","uuid":"a","value":5})",
         R"({"key":"w2","kind":"runtime","type":"strings","uuid":"b","value":["x","y"]})",
         R"({"key":"w1","kind":"runtime","type":"file","uuid":"a"})",
         R"({"key":"w1","kind":"runtime","removed":true,"uuid":"a"})"}};
    // The text watch runs until it is interrupted, the JSON one to its count.
    QProcess watchers[2];
    startWatch(watchers[0], words("w1 w2 -u a -u b"));
    startWatch(watchers[1], words("--output json w1 w2 -u a -u b --count 4 --timeout 30"));
    if (QTest::currentTestFailed())
        return;
    for (int i = 0; i < 4; ++i) {
        // A value no one watches changes too, and must not show.
        QCOMPARE(core(words("set unwatched -u a x")).exitCode, int(ExitOk));
        QCOMPARE(core(words(changes[i]), "content").exitCode, int(ExitOk));
        // Each line is awaited before the next change, which would otherwise
        // overtake the read of the one before.
        for (int format = 0; format < 2; ++format) {
            QTRY_VERIFY_WITH_TIMEOUT(watchers[format].canReadLine(), RunTimeoutMs);
            QCOMPARE(QString::fromUtf8(watchers[format].readLine()), lines[format].at(i) + '\n');
        }
    }
    QCOMPARE(::kill(pid_t(watchers[0].processId()), SIGINT), 0);
    for (QProcess &watcher : watchers) {
        QVERIFY(watcher.state() == QProcess::NotRunning || watcher.waitForFinished(RunTimeoutMs));
        QCOMPARE(watcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watcher.exitCode(), int(ExitOk));
        QCOMPARE(watcher.readAllStandardOutput() + watcher.readAllStandardError(), QByteArray());
    }
}

void TestVdsctl::progressOnTerminal()
{
    // `script` (util-linux, essential on Debian) runs the program on a
    // pseudo-terminal, as a person would.
    const QString script = QStandardPaths::findExecutable("script");
    QVERIFY2(!script.isEmpty(), "the program script is needed");
    const auto onTerminal = [&](const QString &arguments) {
        QProcess process;
        process.setProcessEnvironment(m_environment);
        process.start(script, {"-qefc", "'" + m_program + "' " + arguments, "/dev/null"});
        process.waitForFinished(RunTimeoutMs);
        return process.readAllStandardOutput();
    };
    const QByteArray sent = onTerminal("put-file big '" + m_work.filePath("big.bin") + "'");
    QVERIFY2(sent.contains("sent 32.0 MiB in "), sent.constData());
    const QByteArray received = onTerminal("get-file big '" + m_work.filePath("copy.bin") + "'");
    QVERIFY2(received.contains("received 32.0 MiB in "), received.constData());
    QCOMPARE(QFileInfo(m_work.filePath("copy.bin")).size(), 32 << 20);
}

void TestVdsctl::autostart_data()
{
    // Where the server program that clients start stands for a copy of the
    // installed vdsctl that loads the installed library: beside that
    // library, nowhere, or beside the copy but not startable (found first).
    // A failed start's error begins with `error`: %1 is the copy's folder,
    // %2 the prefix.
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("error");
    QTest::newRow("beside the library") << "beside" << QString();
    QTest::newRow("nowhere")
        << "none"
        << "error: VelDataServer not found (looked in: %1, %2/bin, " TEST_INSTALL_BINDIR
           ", PATH)\n";
    QTest::newRow("not startable") << "broken"
                                   << "error: Cannot start VelDataServer (%1/VelDataServer): ";
}

void TestVdsctl::autostart()
{
    QFETCH(QString, server);
    QFETCH(QString, error);

    const QString installed = QStringLiteral(TEST_INSTALL_BINDIR "/VelDataServer");
    if (server == "none" && QFileInfo(installed).isExecutable())
        QSKIP(qPrintable(installed + " is installed and would be found"));
    const QString folder = rowFolder("autostart");
    const QString prefix = folder + "/prefix";
    const QString app = folder + "/app";
    const Run install =
        runProgram(TEST_CMAKE_COMMAND, {"--install", TEST_BUILD_DIR, "--prefix", prefix},
                   QByteArray(), QProcessEnvironment::systemEnvironment());
    QVERIFY2(install.exitCode == 0, install.err.constData());
    // The installed program finds its library by itself.
    m_environment.remove("LD_LIBRARY_PATH");
    m_environment.remove("VELDATASERVER_AUTOSTART_DISABLE");
    QCOMPARE(runProgram(prefix + "/bin/vdsctl", {"--help"}, {}, m_environment).exitCode, 0);
    QVERIFY(QDir().mkpath(app) && QFile::copy(prefix + "/bin/vdsctl", app + "/vdsctl"));
    if (server != "beside")
        QVERIFY(QFile::remove(prefix + "/bin/VelDataServer"));
    if (server == "broken")
        QVERIFY(writeFile(app + "/VelDataServer", "#!/nonexistent/interpreter\n") &&
                QFile::setPermissions(app + "/VelDataServer", QFile::ReadOwner | QFile::ExeOwner));
    useTemp(folder + "/tmp");
    m_environment.insert("LD_LIBRARY_PATH", prefix + "/" TEST_INSTALL_LIBDIR);
    m_environment.insert("PATH", folder + "/path");
    pointAt(freePort(), {{Settings::StartServerOnRequest, 1}});

    const Run set = runProgram(app + "/vdsctl", {"set", "k", "v"}, {}, m_environment);
    QVERIFY2(set.err.startsWith(error.arg(app, prefix).toUtf8()) &&
                 set.err.isEmpty() == error.isEmpty(),
             set.err.constData());
    QCOMPARE(set.exitCode, int(error.isEmpty() ? ExitOk : ExitUnreachable));
    if (server != "beside") {
        QCOMPARE(ServerProcess::stopStarted(folder + "/tmp"), QStringList());
        return;
    }
    // A watch outlives the server: whichever client comes first starts it
    // again, and the watch subscribes anew within its keep-alive period, so
    // changes are repeated until one shows.
    QProcess watcher;
    startWatch(watcher, {"kept", "--count", "1", "--timeout", "60"});
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(ServerProcess::stopStarted(folder + "/tmp"),
             QStringList{prefix + "/bin/VelDataServer"});
    for (int attempt = 0; attempt < 60 && watcher.state() == QProcess::Running; ++attempt) {
        const QStringList change{"set", "kept", "-t", "int", QString::number(attempt)};
        QCOMPARE(runProgram(m_program, change, {}, m_environment).exitCode, int(ExitOk));
        watcher.waitForFinished(250);
    }
    QCOMPARE(watcher.state(), QProcess::NotRunning);
    QCOMPARE(watcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watcher.exitCode(), int(ExitOk));
    QVERIFY(watcher.readAllStandardOutput().startsWith("kept "));
}

QTEST_GUILESS_MAIN(TestVdsctl)
#include "tst_vdsctl.moc"
