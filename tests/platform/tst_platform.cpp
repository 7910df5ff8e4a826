#include "dezizudavo.h"
#include "hostprogram.h"
#include "vedezid.h"
#include "ztrace.h"

#include <QtTest>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const char *const traceChildArgument = "--trace-child";
const char *const pathChildArgument = "--path-child";
const char *const settingsKey = "Software\\Haltra\\VelDataServer\\Settings";
const QString ownTail = QStringLiteral("tests/platform/tst_platform");

QMutex capturedMutex;
QStringList captured;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QMutexLocker lock(&capturedMutex);
    captured << QStringLiteral("%1 %2 %3:%4 %5")
                    .arg(type)
                    .arg(QLatin1String(context.category), QLatin1String(context.file))
                    .arg(context.line)
                    .arg(text);
}

/// Collects every Qt message into `captured` while it lives, from all threads:
/// its type, category, place and text.
struct MessageCapture
{
    MessageCapture() { captured.clear(); }
    ~MessageCapture() { qInstallMessageHandler(previous); }
    QtMessageHandler previous = qInstallMessageHandler(capture);
};

// Child modes run before any QCoreApplication exists, as in a library host.
int runTraceChild()
{
    ZTRACE(1, "child %s", "warning");
    ZTRACE(4, "child %s", "info");
    ZTRACE(5, "child %s", "debug");
    return 0;
}

int runPathChild()
{
    std::printf("%s\n", QFile::encodeName(hostProgramPath()).constData());
    std::printf("%s\n", Dezizudavo_getAbsolutPath(4, "VelDataServer", ".exe").c_str());
    std::printf("%s\n", Dezizudavo_getAbsolutPath(1, "VelDataServer", ".conf").c_str());
    std::printf("%s\n", QFile::encodeName(Dezizudavo_programFolders().join(':')).constData());
    return 0;
}

QString runSelf(const QString &program, const QString &mode, const QProcessEnvironment &env,
                QByteArray *standardError = nullptr)
{
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(program, {mode});
    if (!child.waitForFinished(60000) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() != 0)
        return QStringLiteral("child failed: ") +
               QString::fromLocal8Bit(child.readAllStandardError());
    if (standardError)
        *standardError = child.readAllStandardError();
    return QString::fromLocal8Bit(child.readAllStandardOutput());
}

QString settingsFilePath()
{
    const QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    return dirs.isEmpty() ? QString() : dirs.section(':', 0, 0) + "/Haltra/VelDataServer.conf";
}

bool writeSettings(const QByteArray &extra)
{
    QFile file(settingsFilePath());
    if (!QDir().mkpath(QFileInfo(file).absolutePath()) || !file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray content = "[Settings]\n"
                               "serverPort=37073\n"
                               "negative=-12\n"
                               "padded= 42 \n"
                               "fraction=1.5\n"
                               "word=abc\n"
                               "empty=\n"
                               "list=1,2\n"
                               "huge=4294967296\n" +
                               extra +
                               "\n[Settings/Nested]\n"
                               "depth=7\n";
    return file.write(content) == content.size();
}

bool placeFile(const QString &path, bool executable)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n") > 0 &&
           (!executable || file.setPermissions(file.permissions() | QFile::ExeOwner));
}

} // namespace

class TstPlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(!settingsFilePath().isEmpty(), "run through ctest, which sets XDG_CONFIG_DIRS");
        // Qt would fall back to this file for values the program's file lacks.
        QFile organisationWide(QFileInfo(settingsFilePath()).absolutePath() +
                               QStringLiteral(".conf"));
        QVERIFY(organisationWide.open(QIODevice::WriteOnly));
        QVERIFY(organisationWide.write("[Settings]\norganisationWide=9\n") > 0);
    }

    void cleanup() { QLoggingCategory::setFilterRules(QString()); }

    void traceFollowsCategoryRules_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("type"); // -1: nothing arrives

        const auto row = [](const char *name, const char *rules, int level, int type) {
            QTest::newRow(name) << QString::fromLatin1(rules) << level << type;
        };
        row("default, failure", "", 1, QtWarningMsg);
        row("default, progress", "", 4, -1);
        row("warnings off", "veldata.client.warning=false", 1, -1);
        row("info on, level 2", "veldata.client.info=true", 2, QtInfoMsg);
        row("info on, level 4", "veldata.client.info=true", 4, QtInfoMsg);
        row("info on, details", "veldata.client.info=true", 5, -1);
        row("debug on, details", "veldata.client.debug=true", 5, QtDebugMsg);
    }

    void traceFollowsCategoryRules()
    {
        QFETCH(QString, rules);
        QFETCH(int, level);
        QFETCH(int, type);

        QLoggingCategory::setFilterRules(rules);
        MessageCapture capture;
        QCOMPARE(ZTrace_TestMasterLevel(level) != 0, type != -1);
        const int line = __LINE__ + 1;
        ZTRACE(level, "VDS: FAILED to connect to the VelDataServer: %s", "Connection refused");
        QCOMPARE(captured, type == -1
                               ? QStringList()
                               : QStringList{QStringLiteral("%1 veldata.client %2:%3 VDS: "
                                                            "FAILED to connect to the "
                                                            "VelDataServer: Connection refused")
                                                 .arg(type)
                                                 .arg(ownTail)
                                                 .arg(line)});
    }

    void traceLocationServesOneLine()
    {
        MessageCapture capture;
        QVERIFY(ZTrace_Location("client/src/Cache", 17, "default", 5) != 0);
        ZTrace_Always("with %s", "location");
        ZTrace_Always("without");
        // Debug is off, yet ZTrace_Always writes what it is given; the second line
        // has no location and goes out as a failure line.
        QCOMPARE(captured,
                 (QStringList{QStringLiteral("%1 veldata.client client/src/Cache:17 with "
                                             "location")
                                  .arg(QtDebugMsg),
                              QStringLiteral("%1 veldata.client :0 without").arg(QtWarningMsg)}));
    }

    void sourceTail_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("tail");

        const auto row = [](const char *name, const char *path, const char *tail) {
            QTest::newRow(name) << QByteArray(path) << QByteArray(tail);
        };
        row("below the root", ZTRACE_SOURCE_ROOT "client/src/PreProcessor.cpp",
            "client/src/PreProcessor");
        row("elsewhere", "/x/tools/y/client/src/PreProcessor.cpp", "client/src/PreProcessor");
        row("nested parts", "/b/tests/platform/tst_platform.cpp", "tests/platform/tst_platform");
        row("backslashes", "C:\\src\\server\\Main.cpp", "server/Main");
        row("part inside a name", "/s/my.client/platform/ztrace.h", "platform/ztrace");
        row("no part", "/a/b.c/plain", "/a/b.c/plain");
    }

    void sourceTail()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, tail);

        // The macro works on __FILE__ at compile time; a zero-padded buffer stands in.
        char buffer[128] = {};
        QVERIFY(path.size() < int(sizeof buffer));
        std::memcpy(buffer, path.constData(), std::size_t(path.size()));
        QCOMPARE(QByteArray(ztrace_detail::SourceTail<sizeof buffer>(buffer).text), tail);
    }

    void traceFromSeveralThreads()
    {
        constexpr int threadCount = 4;
        constexpr int linesPerThread = 200;
        // Lengths that pass the formatter's stack buffer, each thread its letter.
        const auto padding = [](int t, int n) {
            return QByteArray((n * 97) % 3000, char('a' + t));
        };
        int siteLine[threadCount] = {};
        const auto body = [&](int t) {
            for (int n = 0; n < linesPerThread; ++n) {
                if (t % 2) {
                    ZTRACE(1, "second %d %d %s", t, n, padding(t, n).constData());
                    siteLine[t] = __LINE__ - 1;
                } else {
                    ZTRACE(1, "first %d %d %s", t, n, padding(t, n).constData());
                    siteLine[t] = __LINE__ - 1;
                }
            }
        };
        MessageCapture capture;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back(QThread::create(body, t));
            threads.back()->start();
        }
        QStringList expected;
        for (int t = 0; t < threadCount; ++t) {
            QVERIFY(threads[t]->wait(60000));
            for (int n = 0; n < linesPerThread; ++n)
                expected << QStringLiteral("%1 veldata.client %2:%3 %4 %5 %6 %7")
                                .arg(QtWarningMsg)
                                .arg(ownTail)
                                .arg(siteLine[t])
                                .arg(t % 2 ? "second" : "first")
                                .arg(t)
                                .arg(n)
                                .arg(QString::fromLatin1(padding(t, n)));
        }
        captured.sort();
        expected.sort();
        QCOMPARE(captured, expected);
    }

    void traceEnvironment_data()
    {
        // The lines the child prints, each after the level the trace file gives it.
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("rules");
        QTest::addColumn<QStringList>("expected");

        const auto row = [](const char *name, const char *level, const char *rules,
                            const QStringList &expected) {
            QTest::newRow(name) << QString::fromLatin1(level) << QString::fromLatin1(rules)
                                << expected;
        };
        const QString warning = "1 child warning", info = "4 child info", debug = "5 child debug";
        row("unset", nullptr, nullptr, {warning});
        row("not a number", "abc", nullptr, {warning});
        row("4", "4", nullptr, {warning, info});
        row("5", "5", nullptr, {warning, info, debug});
        row("1 against rules", "1", "veldata.client*=false", {warning});
        row("rules add debug", "1", "veldata.client.debug=true", {warning, debug});
    }

    void traceEnvironment()
    {
        QFETCH(QString, level);
        QFETCH(QString, rules);
        QFETCH(QStringList, expected);

        QTemporaryDir dir;
        const QString traceFile = dir.filePath(QStringLiteral("trace.log"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_LOGGING_CONF"));
        level.isNull() ? env.remove("ZTRACE_LEVEL") : env.insert("ZTRACE_LEVEL", level);
        rules.isNull() ? env.remove("QT_LOGGING_RULES") : env.insert("QT_LOGGING_RULES", rules);
        env.insert("ZTRACE_FILE", traceFile);
        env.insert("QT_MESSAGE_PATTERN", "@%{category}|%{message}");
        QByteArray standardError;
        const QString output =
            runSelf(QCoreApplication::applicationFilePath(),
                    QString::fromLatin1(traceChildArgument), env, &standardError);
        QVERIFY2(output.isEmpty(), qPrintable(output));

        // What the default handler printed, and the same lines in the trace file
        // with their levels and places.
        QStringList printed, written;
        for (const QByteArray &line : standardError.split('\n')) {
            if (line.startsWith("@veldata.client|"))
                printed << QString::fromLatin1(line.mid(16));
        }
        QCOMPARE(printed, QStringList(expected).replaceInStrings(QRegularExpression("^\\d "), ""));
        QFile file(traceFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QRegularExpression pattern(
            QStringLiteral(
                "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[(\\d)\\] %1:\\d+ (.*)$")
                .arg(ownTail));
        for (const QString &line :
             QString::fromLatin1(file.readAll()).split('\n', Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch match = pattern.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            written << match.captured(1) + ' ' + match.captured(2);
        }
        QCOMPARE(written, expected);
    }

    void registryValues_data()
    {
        // Read after `extra` is written into the settings file; -5 is the
        // default, for a value not found.
        QTest::addColumn<QByteArray>("keyPath");
        QTest::addColumn<QByteArray>("valueName");
        QTest::addColumn<QByteArray>("extra");
        QTest::addColumn<int>("expected");

        const auto row = [](const char *name, const QByteArray &keyPath, const char *value,
                            int expected, const char *extra = "") {
            QTest::newRow(name) << keyPath << QByteArray(value) << QByteArray(extra) << expected;
        };
        const QByteArray key = settingsKey;
        row("serverPort", key, "serverPort", 37073);
        row("negative", key, "negative", -12);
        row("padded", key, "padded", 42);
        row("nested group", key + "\\Nested", "depth", 7);
        // Missing, not a whole number within 32 bits, or only organisation-wide.
        for (const char *name : {"startServerOnRequest", "fraction", "word", "empty", "list",
                                 "huge", "organisationWide"})
            row(name, key, name, -5);
        // Each call reads the file afresh.
        row("written since", key, "startServerOnRequest", 0, "startServerOnRequest=0\n");
        row("removed since", key, "startServerOnRequest", -5);
        row("other group", "Software\\Haltra\\VelDataServer\\Other", "serverPort", -5);
        row("other application", "Software\\Haltra\\Other\\Settings", "serverPort", -5);
        row("no application", "Software\\Haltra", "serverPort", -5);
    }

    void registryValues()
    {
        QFETCH(QByteArray, keyPath);
        QFETCH(QByteArray, valueName);
        QFETCH(QByteArray, extra);
        QFETCH(int, expected);

        QVERIFY(writeSettings(extra));
        bool found = expected == -5;
        QCOMPARE(getreg_LM_long(keyPath, valueName, -5, &found), long(expected));
        QCOMPARE(found, expected != -5);
        QCOMPARE(getreg_LM_long(keyPath, valueName, -5, nullptr), long(expected));
    }

    void locateProgram_data()
    {
        // What stands in the two folders looked in and in the folder on PATH
        // ('P' a program, 'F' a plain file, 'D' a folder, '-' nothing); the
        // winning folder.
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("winner");

        const auto row = [](const char *name, const char *content, const char *winner) {
            QTest::newRow(name) << QString::fromLatin1(content) << QString::fromLatin1(winner);
        };
        row("nowhere", "---", "");
        row("second only", "-P-", "second");
        row("first only", "P--", "first");
        row("everywhere", "PPP", "first");
        row("first not executable", "FP-", "second");
        row("first a folder", "D-P", "path");
    }

    void locateProgram()
    {
        QFETCH(QString, content);
        QFETCH(QString, winner);

        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString name = QStringLiteral("VelDataServer");
        const QStringList folders{"first", "second", "path"};
        for (int i = 0; i < folders.size(); ++i) {
            const QString folder = root.filePath(folders[i]);
            QVERIFY(QDir().mkpath(folder));
            const QString file = folder + QLatin1Char('/') + name;
            const QChar what = content[i];
            QVERIFY(what == '-' ||
                    (what == 'D' ? QDir().mkpath(file) : placeFile(file, what == 'P')));
        }

        const QString expected =
            winner.isEmpty() ? QString() : root.filePath(winner + QLatin1Char('/') + name);
        QCOMPARE(Dezizudavo_locateProgram(name, {root.filePath("first"), root.filePath("second")},
                                          {root.filePath("path")}),
                 expected);
    }

    void programPathsOfCopiedExecutable_data()
    {
        QTest::addColumn<bool>("serverBeside");
        QTest::newRow("server beside") << true;
        QTest::newRow("no server beside") << false;
    }

    void programPathsOfCopiedExecutable()
    {
        QFETCH(bool, serverBeside);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString folder = QFileInfo(dir.path()).canonicalFilePath();
        const QString copy = folder + QStringLiteral("/copied_test");
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copy));
        if (serverBeside)
            QVERIFY(placeFile(folder + QStringLiteral("/VelDataServer"), true));

        // No server on PATH; the configured program folder may hold one.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), folder + QStringLiteral("/nothing"));
        const QString output = runSelf(copy, QString::fromLatin1(pathChildArgument), environment);
        const QString installed = QStringLiteral(TEST_INSTALL_BINDIR "/VelDataServer");
        const QString server = serverBeside ? folder + QStringLiteral("/VelDataServer")
                               : QFileInfo(installed).isExecutable() ? installed
                                                                     : QString();
        // Linked into the program itself, the code has no installation of its own
        // to look in besides the configured one.
        QCOMPARE(output.split(QLatin1Char('\n')),
                 QStringList({copy, server, folder + QStringLiteral("/VelDataServer.conf"),
                              folder + QLatin1Char(':') + QStringLiteral(TEST_INSTALL_BINDIR),
                              QString()}));
    }
};

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], traceChildArgument) == 0)
        return runTraceChild();
    if (argc == 2 && std::strcmp(argv[1], pathChildArgument) == 0)
        return runPathChild();
    QCoreApplication app(argc, argv);
    TstPlatform test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_platform.moc"
