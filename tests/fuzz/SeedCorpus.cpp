// vds_fuzz_seeds <corpus folder>
//
// Writes the seed inputs of the fuzz targets into <corpus folder>/<target>/,
// made of frames the package classes write (the frames of the wire tests and
// their hostile variants). Running it again rewrites the same files; the
// inputs that fuzzing found and that once crashed lie beside them under other
// names and are left alone.

#include "ActionPackage.h"
#include "AutoUpdatePackage.h"
#include "BoolPackage.h"
#include "CommandPackage.h"
#include "DoubleListPackage.h"
#include "DoublePackage.h"
#include "FilePackage.h"
#include "FrameBytes.h"
#include "FuzzTarget.h"
#include "IdentDataGlobals.h"
#include "IdentDataMqtt.h"
#include "IdentDataOpcua.h"
#include "IdentDataRuntime.h"
#include "IdentifyPackage.h"
#include "IntListPackage.h"
#include "IntPackage.h"
#include "ListTypes.h"
#include "NestedVariant.h"
#include "PieceSplitter.h"
#include "ResponsePackage.h"
#include "StatusAgentPackage.h"
#include "StringListPackage.h"
#include "StringPackage.h"
#include "VariantPackage.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QPoint>

#include <cstdio>

namespace {

struct Seed
{
    QByteArray name;
    QByteArray frame;
};

QByteArray frameOf(BasicPackage *package)
{
    const QByteArray frame = FrameBytes::encode(*package);
    delete package;
    return frame;
}

IdentData *runtime(const char *key = "a")
{
    return new IdentDataRuntime(QString::fromLatin1(key), QStringLiteral("b"));
}

// A list nested `depth` deep, built from the inside out.
QVariant nestedList(int depth)
{
    QVariant value = 7;
    for (int level = 1; level < depth; ++level)
        value = QVariantList{value};
    return value;
}

// Frames of every value type, to be stored and delivered.
QList<Seed> valueFrames()
{
    const QList<QByteArray *> noContent;
    return {
        {"int", frameOf(new IntPackage(11, runtime(), 5))},
        {"double", frameOf(new DoublePackage(12, runtime("d"), 2.5))},
        {"string_globals", frameOf(new StringPackage(13, new IdentDataGlobals("g"), "x"))},
        {"bool_opcua", frameOf(new BoolPackage(14, new IdentDataOpcua("o"), true))},
        {"strings_mqtt", frameOf(new StringListPackage(15, new IdentDataMqtt("m"), {"a", "b"}))},
        {"doubles", frameOf(new DoubleListPackage(16, runtime("dl"), {0.5, -1}))},
        {"ints", frameOf(new IntListPackage(17, runtime("il"), {1, -1}))},
        {"variant_string", frameOf(new VariantPackage(18, runtime("v"), "text"))},
        {"variant_map", frameOf(new VariantPackage(19, runtime("vm"),
                                                   QVariantMap{{"k", QVariantList{1, "a", 2.5}}}))},
        {"variant_intlist",
         frameOf(new VariantPackage(20, runtime("vi"), QVariant::fromValue(QList<int>{7, 8})))},
        {"variant_points",
         frameOf(new VariantPackage(
             21, runtime("vp"), QVariant::fromValue(QList<QPoint>{QPoint(1, 2), QPoint(3, 4)})))},
        {"variant_nested_at_limit",
         frameOf(
             new VariantPackage(22, runtime("vn"), nestedList(VariantPackage::MaxNestingDepth)))},
        {"variant_nested_beyond",
         FrameBytes::frame(
             BasicPackage::Variant, 23,
             NestedVariant::payload(NestedVariant::List, VariantPackage::MaxNestingDepth + 20))},
        {"variant_wrapped_beyond",
         FrameBytes::frame(
             BasicPackage::Variant, 24,
             NestedVariant::payload(NestedVariant::Wrapped, VariantPackage::MaxNestingDepth + 20))},
        {"file", frameOf(new FilePackage(25, runtime("f"), "f.txt",
                                         {new QByteArray("hello"), new QByteArray(" world")}))},
        {"file_empty", frameOf(new FilePackage(26, runtime("fe"), "e.txt", noContent))},
    };
}

// A file frame for each name a hostile server might send.
QList<Seed> hostileFileFrames()
{
    QList<Seed> seeds;
    const char *names[] = {"../x", "/etc/x", "a/b", "a\\b", "..", "", "."};
    int i = 0;
    for (const char *name : names) {
        seeds.append({"file_name_" + QByteArray::number(i++),
                      frameOf(new FilePackage(30 + i, runtime("h"), QString::fromLatin1(name),
                                              {new QByteArray("owned")}))});
    }
    return seeds;
}

// Frames whose header or counts promise what is not there.
QList<Seed> hostileFrames()
{
    QByteArray mqtt;
    {
        QDataStream out(&mqtt, QIODevice::WriteOnly);
        IdentDataMqtt("k").write(out);
    }
    const QByteArray bigCount = QByteArray::fromHex("7fffffff0000000000000000");
    return {
        {"count_strings", FrameBytes::frame(BasicPackage::StringList, 40, mqtt + bigCount)},
        {"count_ints", FrameBytes::frame(BasicPackage::IntList, 41, mqtt + bigCount)},
        {"count_variant_list",
         FrameBytes::frame(BasicPackage::Variant, 42,
                           mqtt + QByteArray::fromHex("0000000900") + bigCount)},
        {"count_command", FrameBytes::frame(BasicPackage::Command, 43,
                                            QByteArray::fromHex("000000020063") + bigCount)},
        {"negative_size",
         FrameBytes::header(BasicPackage::Int, 44, -5) + QByteArray::fromHex("00000005")},
        {"unknown_type", FrameBytes::frame(13, 45, "abc")},
        {"short_string",
         FrameBytes::frame(BasicPackage::String, 46, mqtt + QByteArray::fromHex("0000"))},
    };
}

QList<Seed> controlFrames()
{
    return {
        {"action_get", frameOf(new ActionPackage(50, runtime(), 1))},
        {"action_remove", frameOf(new ActionPackage(51, runtime(), 2))},
        {"autoupdate_on", frameOf(new AutoUpdatePackage(52, runtime(), 1))},
        {"autoupdate_off", frameOf(new AutoUpdatePackage(53, runtime(), 2))},
        {"autoupdate_changed", frameOf(new AutoUpdatePackage(0, runtime(), 3))},
        {"command_clear", frameOf(new CommandPackage(54, "clear clients cache", {}))},
        {"command_params", frameOf(new CommandPackage(55, "c", {"p", QString()}))},
        {"identify", frameOf(new IdentifyPackage(0, "prog", true))},
        {"status", frameOf(new StatusAgentPackage(56, "working"))},
    };
}

QList<Seed> responseFrames()
{
    return {
        {"response_done", frameOf(new ResponsePackage(11, 2, QString()))},
        {"response_removed", frameOf(new ResponsePackage(51, 3, QString()))},
        {"response_missing", frameOf(new ResponsePackage(50, 4, "Unknown value"))},
        {"response_bad", frameOf(new ResponsePackage(12, 5, "Bad request"))},
        {"response_init", frameOf(new ResponsePackage(0, 6, QString()))},
    };
}

int written = 0;
bool failed = false;

void write(const QDir &dir, const QByteArray &name, const QByteArray &content)
{
    QFile file(dir.filePath(QString::fromLatin1("seed_" + name)));
    if (dir.mkpath(QStringLiteral(".")) && file.open(QIODevice::WriteOnly) &&
        file.write(content) == content.size()) {
        ++written;
        return;
    }
    std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
    failed = true;
}

// Inputs of a target that takes a stream in pieces (PieceSplitter): each frame
// alone, then all of them in one piece and in pieces of 5, 1, 1 and 226 bytes;
// for the decoder also byte by byte, and in pieces of 5 under a payload limit.
void writeStreamSeeds(const QDir &dir, const QList<Seed> &frames, bool decoder = false)
{
    QByteArray all;
    for (const Seed &seed : frames) {
        write(dir, seed.name, PieceSplitter::compose(seed.frame));
        all += seed.frame;
    }
    write(dir, "all_whole", PieceSplitter::compose(all));
    write(dir, "all_mixed", PieceSplitter::compose(all, QByteArray::fromHex("02000f")));
    if (decoder) {
        write(dir, "all_bytewise", PieceSplitter::compose(all, QByteArray(1, 0)));
        write(dir, "all_limited", PieceSplitter::compose(all, QByteArray::fromHex("05"), true));
    }
}

void writePackageSeeds(const QDir &dir, const QList<Seed> &frames)
{
    for (const Seed &seed : frames) {
        FrameBytes::Header header;
        if (!FrameBytes::readHeader(seed.frame, &header) || header.type < 1 || header.type > 16 ||
            header.type == 13)
            continue;
        write(dir, seed.name,
              char(FuzzTypes::indexOf(header.type)) + seed.frame.mid(BasicPackage::HeaderSize));
    }
}

// What a client sends: requests around every value type.
void writeServerSeeds(const QDir &dir, const QList<Seed> &values, const QList<Seed> &others)
{
    const QByteArray identify = frameOf(new IdentifyPackage(0, "prog", true));
    for (const Seed &seed : values)
        write(dir, "set_" + seed.name,
              identify + seed.frame + frameOf(new ActionPackage(60, runtime(), 1)));
    for (const Seed &seed : others)
        write(dir, seed.name, identify + seed.frame);
    const QByteArray session = identify + frameOf(new AutoUpdatePackage(61, runtime(), 1)) +
                               frameOf(new IntPackage(62, runtime(), 9)) +
                               frameOf(new ActionPackage(63, runtime(), 1)) +
                               frameOf(new ActionPackage(64, runtime(), 2)) +
                               frameOf(new ActionPackage(65, runtime(), 1)) +
                               frameOf(new StringPackage(66, new IdentDataGlobals("g"), "site")) +
                               frameOf(new CommandPackage(67, "clear clients cache", {})) +
                               frameOf(new StatusAgentPackage(68, "done"));
    write(dir, "session", session);
    write(dir, "oversize_header", FrameBytes::header(BasicPackage::String, 69, qint64(1) << 40));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    ListTypes::registerStreamOperators();
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: vds_fuzz_seeds <corpus folder>\n");
        return 2;
    }
    const QDir root(args.at(1));
    const QList<Seed> values = valueFrames();
    const QList<Seed> hostileFiles = hostileFileFrames();
    const QList<Seed> hostile = hostileFrames();
    const QList<Seed> control = controlFrames();
    const QList<Seed> responses = responseFrames();
    const QList<Seed> everything = values + hostileFiles + hostile + control + responses;

    writeStreamSeeds(QDir(root.filePath("decoder")), everything, true);
    writePackageSeeds(QDir(root.filePath("packages")), everything);
    writeServerSeeds(QDir(root.filePath("server")), values, hostileFiles + hostile + control);
    // What a server sends: answers, values, notifications, commands.
    writeStreamSeeds(QDir(root.filePath("client")),
                     responses + values + hostileFiles + hostile + control);
    std::printf("wrote %d seed inputs\n", written);
    return failed ? 1 : 0;
}
