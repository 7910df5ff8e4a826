// vds_nesting_probe <list|map|hash|wrapped|json|cbor> <depth> <package|decoder>
//
// Reads a variant nested <depth> levels deep on a thread with a 1 MiB stack
// and prints "depth D read as R", R being the depth of the value read (0 for
// an invalid value). "package" reads it as the payload of a variant package
// handed to the package factory in one piece, "decoder" as a whole frame
// given to the frame decoder. A reader that
// overflows the stack ends the process by a signal (or, under AddressSanitizer,
// with its report), before anything is printed.

#include "BasicPackage.h"
#include "FrameBytes.h"
#include "HeaderDecoder.h"
#include "ListTypes.h"
#include "NestedVariant.h"
#include "VariantPackage.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>

namespace {

constexpr uint ProbeStackSize = 1 << 20;

int depthOfPackage(const BasicPackagePtr &package)
{
    const auto variant = package.dynamicCast<VariantPackage>();
    return variant ? NestedVariant::depthOf(variant->typedValue()) : -2;
}

int readAsPackage(const QByteArray &payload)
{
    return depthOfPackage(createPackage(BasicPackage::Variant, 1, {new QByteArray(payload)}));
}

int readWithDecoder(const QByteArray &payload)
{
    const QByteArray frame = FrameBytes::frame(BasicPackage::Variant, 1, payload);
    int depth = -3;
    HeaderDecoder decoder;
    QObject::connect(&decoder, &HeaderDecoder::dataProcessed,
                     [&depth](const BasicPackagePtr &package, qint64, qint64) {
                         depth = depthOfPackage(package);
                     });
    decoder.processData(frame);
    return depth;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    ListTypes::registerStreamOperators();
    const QStringList args = QCoreApplication::arguments();
    NestedVariant::Shape shape = NestedVariant::List;
    bool ok = false;
    const int depth = args.size() == 4 ? args.at(2).toInt(&ok) : 0;
    const QString reader = args.value(3);
    if (!ok || depth < 1 || !NestedVariant::parseShape(args.at(1), &shape) ||
        (reader != QLatin1String("package") && reader != QLatin1String("decoder"))) {
        std::fprintf(stderr, "usage: vds_nesting_probe <shape> <depth> <package|decoder>\n");
        return 2;
    }
    const QByteArray payload = NestedVariant::payload(shape, depth);
    int readDepth = -4;
    QThread *thread = QThread::create([&] {
        readDepth =
            reader == QLatin1String("package") ? readAsPackage(payload) : readWithDecoder(payload);
    });
    thread->setStackSize(ProbeStackSize);
    thread->start();
    thread->wait();
    delete thread;
    std::printf("depth %d read as %d\n", depth, readDepth);
    return 0;
}
