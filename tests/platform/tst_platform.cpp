#include "dezizudavo.h"
#include "hostprogram.h"
#include "vedezid.h"
#include "ztrace.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QVector>
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

struct CapturedMessage
{
    QtMsgType type;
    QByteArray category;
    QByteArray file;
    int line;
    QString text;
};

QMutex capturedMutex;
QVector<CapturedMessage> capturedMessages;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QMutexLocker lock(&capturedMutex);
    capturedMessages.append({type, context.category, context.file, context.line, text});
}

/// Collects every Qt message while it lives, from all threads.
class MessageCapture
{
public:
    MessageCapture()
    {
        QMutexLocker lock(&capturedMutex);
        capturedMessages.clear();
        m_previous = qInstallMessageHandler(captureMessage);
    }
    ~MessageCapture() { qInstallMessageHandler(m_previous); }
    QVector<CapturedMessage> messages() const
    {
        QMutexLocker lock(&capturedMutex);
        return capturedMessages;
    }

private:
    QtMessageHandler m_previous;
};

// Two trace sites for the threads; each returns the line it traces from.
int traceFromFirstSite(int thread, int n, const QByteArray &padding)
{
    ZTRACE(1, "first %d %d %s", thread, n, padding.constData());
    return __LINE__ - 1;
}

int traceFromSecondSite(int thread, int n, const QByteArray &padding)
{
    ZTRACE(1, "second %d %d %s", thread, n, padding.constData());
    return __LINE__ - 1;
}

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
    if (dirs.isEmpty())
        return QString();
    return dirs.split(QLatin1Char(':')).first() + QStringLiteral("/Haltra/VelDataServer.conf");
}

bool writeSettings(const QByteArray &extra)
{
    QFile file(settingsFilePath());
    if (!QDir().mkpath(QFileInfo(file).absolutePath()) || !file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray content = "[Settings]\n"
                               "serverPort=37073\n"
                               "encryption=1\n"
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
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n") < 0)
        return false;
    file.close();
    if (!executable)
        return true;
    return file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeUser);
}

} // namespace

class TstPlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void traceFollowsCategoryRules_data();
    void traceFollowsCategoryRules();
    void traceLocationServesOneLine();
    void sourceTail_data();
    void sourceTail();
    void traceFromSeveralThreads();
    void traceEnvironment_data();
    void traceEnvironment();

    void registryValues_data();
    void registryValues();
    void registrySeesChangedFile();
    void registryFromSeveralThreads();

    void locateProgram_data();
    void locateProgram();
    void programPathsOfCopiedExecutable_data();
    void programPathsOfCopiedExecutable();
    void hostProgramPathIsApplicationPath();
};

void TstPlatform::initTestCase()
{
    QVERIFY2(!settingsFilePath().isEmpty(), "run through ctest, which sets XDG_CONFIG_DIRS");
    QVERIFY(writeSettings(QByteArray()));
    // Qt would fall back to this file for values the program's file lacks.
    QFile organisationWide(QFileInfo(settingsFilePath()).absolutePath() + QStringLiteral(".conf"));
    QVERIFY(organisationWide.open(QIODevice::WriteOnly));
    QVERIFY(organisationWide.write("[Settings]\norganisationWide=9\n") > 0);
}

void TstPlatform::cleanup()
{
    QLoggingCategory::setFilterRules(QString());
}

void TstPlatform::traceFollowsCategoryRules_data()
{
    QTest::addColumn<QString>("rules");
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("arrives");
    QTest::addColumn<int>("type");

    QTest::newRow("default, failure") << QString() << 1 << true << int(QtWarningMsg);
    QTest::newRow("default, progress") << QString() << 4 << false << 0;
    QTest::newRow("default, details") << QString() << 5 << false << 0;
    QTest::newRow("category off") << "veldata.client*=false" << 1 << false << 0;
    QTest::newRow("warnings off") << "veldata.client.warning=false" << 1 << false << 0;
    QTest::newRow("info on, level 2") << "veldata.client.info=true" << 2 << true << int(QtInfoMsg);
    QTest::newRow("info on, level 4") << "veldata.client.info=true" << 4 << true << int(QtInfoMsg);
    QTest::newRow("info on, details") << "veldata.client.info=true" << 5 << false << 0;
    QTest::newRow("debug on, details")
        << "veldata.client.debug=true" << 5 << true << int(QtDebugMsg);
    QTest::newRow("debug on, level 9")
        << "veldata.client.debug=true" << 9 << true << int(QtDebugMsg);
    QTest::newRow("debug on, progress") << "veldata.client.debug=true" << 4 << false << 0;
    QTest::newRow("other category on") << "veldata.server*=true" << 5 << false << 0;
}

void TstPlatform::traceFollowsCategoryRules()
{
    QFETCH(QString, rules);
    QFETCH(int, level);
    QFETCH(bool, arrives);
    QFETCH(int, type);

    QLoggingCategory::setFilterRules(rules);
    MessageCapture capture;
    QCOMPARE(ZTrace_TestMasterLevel(level) != 0, arrives);
    const int line = __LINE__ + 1;
    ZTRACE(level, "VDS: FAILED to connect to the VelDataServer: %s", "Connection refused");

    const QVector<CapturedMessage> messages = capture.messages();
    if (!arrives) {
        QVERIFY(messages.isEmpty());
        return;
    }
    QCOMPARE(messages.size(), 1);
    QCOMPARE(int(messages[0].type), type);
    QCOMPARE(messages[0].category, QByteArray("veldata.client"));
    QCOMPARE(QString::fromLatin1(messages[0].file), ownTail);
    QCOMPARE(messages[0].line, line);
    QCOMPARE(messages[0].text,
             QStringLiteral("VDS: FAILED to connect to the VelDataServer: Connection refused"));
}

void TstPlatform::traceLocationServesOneLine()
{
    MessageCapture capture;
    QVERIFY(ZTrace_Location("client/src/Cache", 17, "default", 5) != 0);
    ZTrace_Always("with %s", "location");
    ZTrace_Always("without");

    // Debug is off, yet ZTrace_Always writes what it is given; the second line
    // has no location and goes out as a failure line.
    const QVector<CapturedMessage> messages = capture.messages();
    QCOMPARE(messages.size(), 2);
    QCOMPARE(int(messages[0].type), int(QtDebugMsg));
    QCOMPARE(messages[0].file, QByteArray("client/src/Cache"));
    QCOMPARE(messages[0].line, 17);
    QCOMPARE(messages[0].text, QStringLiteral("with location"));
    QCOMPARE(int(messages[1].type), int(QtWarningMsg));
    QVERIFY(messages[1].file.isEmpty());
    QCOMPARE(messages[1].line, 0);
    QCOMPARE(messages[1].text, QStringLiteral("without"));
}

void TstPlatform::sourceTail_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("tail");

    QTest::newRow("below the root") << QByteArray(ZTRACE_SOURCE_ROOT "client/src/PreProcessor.cpp")
                                    << QByteArray("client/src/PreProcessor");
    QTest::newRow("elsewhere") << QByteArray("/x/tools/y/client/src/PreProcessor.cpp")
                               << QByteArray("client/src/PreProcessor");
    QTest::newRow("nested parts") << QByteArray("/b/tests/platform/tst_platform.cpp")
                                  << QByteArray("tests/platform/tst_platform");
    QTest::newRow("backslashes") << QByteArray("C:\\src\\server\\Main.cpp")
                                 << QByteArray("server/Main");
    QTest::newRow("part inside a name")
        << QByteArray("/s/my.client/platform/ztrace.h") << QByteArray("platform/ztrace");
    QTest::newRow("no part") << QByteArray("/a/b.c/plain") << QByteArray("/a/b.c/plain");
}

void TstPlatform::sourceTail()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, tail);

    // The macro works on __FILE__ at compile time; a zero-padded buffer stands in.
    char buffer[128] = {};
    QVERIFY(path.size() < int(sizeof buffer));
    std::memcpy(buffer, path.constData(), std::size_t(path.size()));
    QCOMPARE(QByteArray(ztrace_detail::SourceTail<sizeof buffer>(buffer).text), tail);
}

void TstPlatform::traceFromSeveralThreads()
{
    constexpr int threadCount = 4;
    constexpr int linesPerThread = 200;
    int siteLine[threadCount] = {};
    MessageCapture capture;

    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back(QThread::create([t, &siteLine] {
            for (int n = 0; n < linesPerThread; ++n) {
                // Lengths pass the formatter's stack buffer; each thread its own letter.
                const QByteArray padding((n * 97) % 3000, char('a' + t));
                siteLine[t] =
                    t % 2 ? traceFromSecondSite(t, n, padding) : traceFromFirstSite(t, n, padding);
            }
        }));
    }
    for (auto &thread : threads)
        thread->start();
    for (auto &thread : threads)
        QVERIFY(thread->wait(60000));

    const QRegularExpression pattern(QStringLiteral("^(first|second) (\\d+) (\\d+) ([a-z]*)$"));
    QVector<int> seen(threadCount * linesPerThread, 0);
    const QVector<CapturedMessage> messages = capture.messages();
    QCOMPARE(messages.size(), threadCount * linesPerThread);
    for (const CapturedMessage &message : messages) {
        const QRegularExpressionMatch match = pattern.match(message.text);
        QVERIFY2(match.hasMatch(), qPrintable(message.text.left(80)));
        const int t = match.captured(2).toInt();
        const int n = match.captured(3).toInt();
        QVERIFY(t < threadCount && n < linesPerThread);
        QCOMPARE(match.captured(1), t % 2 ? QStringLiteral("second") : QStringLiteral("first"));
        QCOMPARE(match.captured(4), QString((n * 97) % 3000, QLatin1Char('a' + t)));
        QCOMPARE(QString::fromLatin1(message.file), ownTail);
        QCOMPARE(message.line, siteLine[t]);
        ++seen[t * linesPerThread + n];
    }
    QCOMPARE(seen, QVector<int>(threadCount * linesPerThread, 1));
}

void TstPlatform::traceEnvironment_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("rules");
    QTest::addColumn<QStringList>("expected");

    const QString warning = QStringLiteral("child warning");
    const QString info = QStringLiteral("child info");
    const QString debug = QStringLiteral("child debug");
    QTest::newRow("unset") << QString() << QString() << QStringList{warning};
    QTest::newRow("not a number") << "abc" << QString() << QStringList{warning};
    QTest::newRow("4") << "4" << QString() << QStringList{warning, info};
    QTest::newRow("5") << "5" << QString() << QStringList{warning, info, debug};
    QTest::newRow("1 against rules") << "1"
                                     << "veldata.client*=false" << QStringList{warning};
    QTest::newRow("rules add debug") << "1"
                                     << "veldata.client.debug=true" << QStringList{warning, debug};
}

void TstPlatform::traceEnvironment()
{
    QFETCH(QString, level);
    QFETCH(QString, rules);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString traceFile = dir.filePath(QStringLiteral("trace.log"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("ZTRACE_LEVEL"));
    env.remove(QStringLiteral("QT_LOGGING_CONF"));
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (!level.isNull())
        env.insert(QStringLiteral("ZTRACE_LEVEL"), level);
    if (!rules.isNull())
        env.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
    env.insert(QStringLiteral("ZTRACE_FILE"), traceFile);
    env.insert(QStringLiteral("QT_MESSAGE_PATTERN"),
               QStringLiteral("@%{category}|%{file}:%{line}|%{message}"));

    QByteArray standardError;
    const QString output = runSelf(QCoreApplication::applicationFilePath(),
                                   QString::fromLatin1(traceChildArgument), env, &standardError);
    QVERIFY2(output.isEmpty(), qPrintable(output));

    // What the default handler printed: "@category|file:line|text".
    QStringList printedPlaces;
    QStringList printedTexts;
    for (const QByteArray &line : standardError.split('\n')) {
        if (!line.startsWith('@'))
            continue;
        const QList<QByteArray> fields = line.mid(1).split('|');
        QCOMPARE(fields.size(), 3);
        QCOMPARE(fields[0], QByteArray("veldata.client"));
        printedPlaces << QString::fromLatin1(fields[1]);
        printedTexts << QString::fromLatin1(fields[2]);
    }
    QCOMPARE(printedTexts, expected);

    // The same lines in the trace file, with their levels.
    QFile file(traceFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QRegularExpression pattern(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[(\\d)\\] (\\S+:\\d+) (.*)$"));
    QStringList filePlaces;
    QStringList fileTexts;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(line));
        QVERIFY2(match.hasMatch(), line.constData());
        const QString text = match.captured(3);
        const int expectedLevel = text.endsWith(QLatin1String("warning")) ? 1
                                  : text.endsWith(QLatin1String("info"))  ? 4
                                                                          : 5;
        QCOMPARE(match.captured(1).toInt(), expectedLevel);
        QVERIFY2(match.captured(2).startsWith(ownTail + QLatin1Char(':')),
                 qPrintable(match.captured(2)));
        filePlaces << match.captured(2);
        fileTexts << text;
    }
    QCOMPARE(fileTexts, expected);
    QCOMPARE(filePlaces, printedPlaces);
}

void TstPlatform::registryValues_data()
{
    QTest::addColumn<QByteArray>("keyPath");
    QTest::addColumn<QByteArray>("valueName");
    QTest::addColumn<int>("defaultValue");
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("found");

    const QByteArray key(settingsKey);
    QTest::newRow("port") << key << QByteArray("serverPort") << 1 << 37073 << true;
    QTest::newRow("encryption") << key << QByteArray("encryption") << 0 << 1 << true;
    QTest::newRow("negative") << key << QByteArray("negative") << 0 << -12 << true;
    QTest::newRow("blanks around") << key << QByteArray("padded") << 0 << 42 << true;
    QTest::newRow("missing") << key << QByteArray("startServerOnRequest") << 1 << 1 << false;
    QTest::newRow("fraction") << key << QByteArray("fraction") << 5 << 5 << false;
    QTest::newRow("word") << key << QByteArray("word") << 5 << 5 << false;
    QTest::newRow("empty") << key << QByteArray("empty") << 5 << 5 << false;
    QTest::newRow("list") << key << QByteArray("list") << 5 << 5 << false;
    QTest::newRow("beyond 32 bits") << key << QByteArray("huge") << 5 << 5 << false;
    QTest::newRow("nested group") << key + "\\Nested" << QByteArray("depth") << 0 << 7 << true;
    QTest::newRow("other group") << QByteArray("Software\\Haltra\\VelDataServer\\Other")
                                 << QByteArray("serverPort") << 3 << 3 << false;
    QTest::newRow("other application") << QByteArray("Software\\Haltra\\Other\\Settings")
                                       << QByteArray("serverPort") << 3 << 3 << false;
    QTest::newRow("organisation-wide only")
        << key << QByteArray("organisationWide") << 3 << 3 << false;
    QTest::newRow("no application")
        << QByteArray("Software\\Haltra") << QByteArray("serverPort") << 3 << 3 << false;
}

void TstPlatform::registryValues()
{
    QFETCH(QByteArray, keyPath);
    QFETCH(QByteArray, valueName);
    QFETCH(int, defaultValue);
    QFETCH(int, expected);
    QFETCH(bool, found);

    bool wasFound = !found;
    QCOMPARE(getreg_LM_long(keyPath.constData(), valueName.constData(), defaultValue, &wasFound),
             long(expected));
    QCOMPARE(wasFound, found);
    QCOMPARE(getreg_LM_long(keyPath.constData(), valueName.constData(), defaultValue, nullptr),
             long(expected));
}

void TstPlatform::registrySeesChangedFile()
{
    QCOMPARE(getreg_LM_long(settingsKey, "startServerOnRequest", 1, nullptr), 1L);
    QVERIFY(writeSettings("startServerOnRequest=0\n"));
    bool found = false;
    QCOMPARE(getreg_LM_long(settingsKey, "startServerOnRequest", 1, &found), 0L);
    QVERIFY(found);
    QVERIFY(writeSettings(QByteArray()));
    QCOMPARE(getreg_LM_long(settingsKey, "startServerOnRequest", 1, &found), 1L);
    QVERIFY(!found);
}

void TstPlatform::registryFromSeveralThreads()
{
    constexpr int threadCount = 4;
    constexpr int readsPerThread = 100;
    QAtomicInt wrong;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back(QThread::create([t, &wrong] {
            const char *name = t % 2 ? "serverPort" : "depth";
            const QByteArray key = QByteArray(settingsKey) + (t % 2 ? "" : "\\Nested");
            const long expected = t % 2 ? 37073 : 7;
            for (int n = 0; n < readsPerThread; ++n) {
                if (getreg_LM_long(key.constData(), name, -1, nullptr) != expected)
                    wrong.ref();
            }
        }));
    }
    for (auto &thread : threads)
        thread->start();
    for (auto &thread : threads)
        QVERIFY(thread->wait(60000));
    QCOMPARE(wrong.loadRelaxed(), 0);
}

void TstPlatform::locateProgram_data()
{
    // What stands in each of the two folders looked in and in the folder on
    // PATH: "program", "plain file", "folder" or "none"; the winning folder.
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("onPath");
    QTest::addColumn<QString>("winner");

    QTest::newRow("nowhere") << "none"
                             << "none"
                             << "none"
                             << "";
    QTest::newRow("second only") << "none"
                                 << "program"
                                 << "none"
                                 << "second";
    QTest::newRow("first only") << "program"
                                << "none"
                                << "none"
                                << "first";
    QTest::newRow("both") << "program"
                          << "program"
                          << "program"
                          << "first";
    QTest::newRow("first not executable") << "plain file"
                                          << "program"
                                          << "none"
                                          << "second";
    QTest::newRow("first a folder") << "folder"
                                    << "none"
                                    << "program"
                                    << "path";
    QTest::newRow("on PATH only") << "none"
                                  << "none"
                                  << "program"
                                  << "path";
    QTest::newRow("not executable on PATH") << "none"
                                            << "plain file"
                                            << "plain file"
                                            << "";
}

void TstPlatform::locateProgram()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, onPath);
    QFETCH(QString, winner);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString name = QStringLiteral("VelDataServer");
    const QMap<QString, QString> content{{"first", first}, {"second", second}, {"path", onPath}};
    for (auto it = content.cbegin(); it != content.cend(); ++it) {
        const QString folder = root.filePath(it.key());
        QVERIFY(QDir().mkpath(folder));
        const QString file = folder + QLatin1Char('/') + name;
        if (it.value() == QLatin1String("program"))
            QVERIFY(placeFile(file, true));
        else if (it.value() == QLatin1String("plain file"))
            QVERIFY(placeFile(file, false));
        else if (it.value() == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(file));
    }

    const QString expected =
        winner.isEmpty() ? QString() : root.filePath(winner + QLatin1Char('/') + name);
    QCOMPARE(Dezizudavo_locateProgram(name, {root.filePath("first"), root.filePath("second")},
                                      {root.filePath("path")}),
             expected);
}

void TstPlatform::programPathsOfCopiedExecutable_data()
{
    QTest::addColumn<bool>("serverBeside");
    QTest::newRow("server beside") << true;
    QTest::newRow("no server beside") << false;
}

void TstPlatform::programPathsOfCopiedExecutable()
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
    QCOMPARE(
        output.split(QLatin1Char('\n')),
        QStringList({copy, server, folder + QStringLiteral("/VelDataServer.conf"),
                     folder + QLatin1Char(':') + QStringLiteral(TEST_INSTALL_BINDIR), QString()}));
}

void TstPlatform::hostProgramPathIsApplicationPath()
{
    QCOMPARE(hostProgramPath(), QCoreApplication::applicationFilePath());
}

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
