// Runs a fuzz target over files and folders of inputs, as libFuzzer would
// run it over its corpus, without libFuzzer: any compiler, any build. A crash
// or a broken requirement ends the process like under libFuzzer.
//   vds_replay_<target> <file or folder>...

#include "FuzzTarget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

namespace {

QStringList inputsOf(const QString &path)
{
    if (!QFileInfo(path).isDir())
        return {path};
    QStringList files;
    for (const QFileInfo &file : QDir(path).entryInfoList(QDir::Files, QDir::Name))
        files << file.filePath();
    return files;
}

} // namespace

int main(int argc, char *argv[])
{
    LLVMFuzzerInitialize(&argc, &argv);
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const QString &file : inputsOf(QString::fromLocal8Bit(argv[i]))) {
            QFile in(file);
            if (!in.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(file));
                return 1;
            }
            const QByteArray data = in.readAll();
            std::fprintf(stderr, "input %s (%d bytes)\n", qPrintable(file), int(data.size()));
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.constData()),
                                   size_t(data.size()));
            ++replayed;
        }
    }
    std::printf("replayed %d inputs\n", replayed);
    // An empty or missing corpus would otherwise pass without trying anything.
    return replayed > 0 ? 0 : 1;
}
