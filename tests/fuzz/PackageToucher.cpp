#include "PackageToucher.h"

#include "ActionPackage.h"
#include "AutoUpdatePackage.h"
#include "BoolPackage.h"
#include "CommandPackage.h"
#include "DoubleListPackage.h"
#include "DoublePackage.h"
#include "FilePackage.h"
#include "FuzzCheck.h"
#include "HeaderDecoder.h"
#include "IdentData.h"
#include "IdentifyPackage.h"
#include "IntListPackage.h"
#include "IntPackage.h"
#include "ResponsePackage.h"
#include "StatusAgentPackage.h"
#include "StringListPackage.h"
#include "StringPackage.h"
#include "VariantPackage.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString target = QStringLiteral("target");

// Reads what a frame's header says, to compare it with the frame's length.
qint64 announcedPayload(const QByteArray &frame)
{
    QDataStream in(frame);
    in.setVersion(BasicPackage::StreamVersion);
    qint32 type = 0;
    qint32 id = 0;
    qint64 size = 0;
    in >> type >> id >> size;
    return size;
}

BasicPackagePtr decodeOne(const QByteArray &frame)
{
    BasicPackagePtr received;
    int count = 0;
    HeaderDecoder decoder;
    QObject::connect(&decoder, &HeaderDecoder::dataProcessed,
                     [&](const BasicPackagePtr &package, qint64, qint64) {
                         received = package;
                         ++count;
                     });
    decoder.processData(frame);
    FuzzCheck::require(count == 1, "a written frame decodes to one package");
    return received;
}

// Lists every entry below `path`, links included and not followed.
QStringList entriesBelow(const QString &path)
{
    QStringList entries;
    QDir dir(path);
    for (const QFileInfo &info : dir.entryInfoList(
             QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name)) {
        entries << info.fileName();
        if (info.isDir() && !info.isSymLink()) {
            for (const QString &inner : entriesBelow(info.filePath()))
                entries << info.fileName() + QLatin1Char('/') + inner;
        }
    }
    return entries;
}

} // namespace

PackageToucher::PackageToucher()
{
    FuzzCheck::require(m_root.isValid() && QDir(m_root.path()).mkdir(target),
                       "a temporary folder for received files");
}

QString PackageToucher::targetDir() const
{
    return m_root.filePath(target);
}

QByteArray PackageToucher::frameOf(const BasicPackage &package)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    package.write(&buffer, 0);
    return buffer.data();
}

void PackageToucher::touch(const BasicPackagePtr &package)
{
    if (!package)
        return;
    touchFields(*package);
    requireStableFrame(*package);
    if (const auto file = package.dynamicCast<FilePackage>()) {
        const bool saved = file->save(targetDir());
        requireSavedOnlyInside(saved, file->fileName(), file->contentSize());
    }
}

void PackageToucher::touchFields(const BasicPackage &package)
{
    // Every term is widened on its own: fields come from the peer, so even two
    // of them (an id near INT_MAX and a type) would overflow an int sum.
    qint64 sum = 0;
    const auto add = [&sum](qint64 term) { sum += term; };
    add(package.type());
    add(package.packageId());
    add(package.toString().size());
    if (const auto *data = dynamic_cast<const DataPackage *>(&package)) {
        add(data->value().toString().size());
        if (const IdentData *ident = data->ident()) {
            add(ident->toString().size());
            add(ident->description().size());
            add(ident->kindName().size());
            delete ident->clone();
        }
    }
    if (const auto *p = dynamic_cast<const ActionPackage *>(&package))
        add(p->action());
    if (const auto *p = dynamic_cast<const AutoUpdatePackage *>(&package))
        add(p->mode());
    if (const auto *p = dynamic_cast<const StringPackage *>(&package))
        add(p->typedValue().size());
    if (const auto *p = dynamic_cast<const DoublePackage *>(&package))
        add(p->typedValue() == p->typedValue());
    if (const auto *p = dynamic_cast<const IntPackage *>(&package))
        add(p->typedValue());
    if (const auto *p = dynamic_cast<const BoolPackage *>(&package))
        add(p->typedValue());
    if (const auto *p = dynamic_cast<const StringListPackage *>(&package))
        add(p->typedValue().join(QString()).size());
    if (const auto *p = dynamic_cast<const DoubleListPackage *>(&package))
        add(p->typedValue().size());
    if (const auto *p = dynamic_cast<const IntListPackage *>(&package))
        add(p->typedValue().size());
    if (const auto *p = dynamic_cast<const FilePackage *>(&package)) {
        add(p->fileName().size());
        add(p->contentSize());
        add(p->chunks().size());
    }
    if (const auto *p = dynamic_cast<const VariantPackage *>(&package))
        add(p->typedValue().userType());
    if (const auto *p = dynamic_cast<const CommandPackage *>(&package)) {
        add(p->command().size());
        add(p->params().size());
    }
    if (const auto *p = dynamic_cast<const ResponsePackage *>(&package)) {
        add(p->responseCode());
        add(p->message().size());
    }
    if (const auto *p = dynamic_cast<const IdentifyPackage *>(&package))
        add(p->clientName().size());
    if (const auto *p = dynamic_cast<const StatusAgentPackage *>(&package))
        add(p->status().size());
    // Keeps the reads from being optimised away.
    volatile qint64 sink = sum;
    (void)sink;
}

void PackageToucher::requireStableFrame(const BasicPackage &package)
{
    const QByteArray first = frameOf(package);
    FuzzCheck::require(first.size() >= BasicPackage::HeaderSize,
                       "a written frame holds at least a header");
    FuzzCheck::require(announcedPayload(first) == first.size() - BasicPackage::HeaderSize,
                       "a written header counts the payload that follows");
    // The decoder parses the first 64 KiB piece of a payload only (files
    // apart), so larger frames are not expected to read back whole.
    if (first.size() - BasicPackage::HeaderSize > HeaderDecoder::PACKAGE_CHUNK_SIZE &&
        package.type() != BasicPackage::File)
        return;
    const BasicPackagePtr again = decodeOne(first);
    FuzzCheck::require(again && again->type() == package.type(),
                       "a written frame reads back as its package type");
    QByteArray before = first;
    QByteArray second = frameOf(*again);
    if (second != first && package.type() == BasicPackage::Variant) {
        // Qt settles some values on the way (a date-time at offset 0 from UTC
        // is read back as one in UTC): a variant may change once, not twice.
        before = second;
        second = frameOf(*decodeOne(second));
    }
    FuzzCheck::require(
        second == before, "a package read back writes the same frame",
        QStringLiteral("type %1: %2 then %3")
            .arg(package.type())
            .arg(QString::fromLatin1(before.toHex()), QString::fromLatin1(second.toHex())));
}

void PackageToucher::requireSavedOnlyInside(bool saved, const QString &fileName, qint64 size)
{
    const QStringList around = entriesBelow(m_root.path());
    // The name as the file system holds it: text that UTF-8 cannot carry
    // (a lone surrogate) is replaced on the way.
    const QString stored = QFile::decodeName(QFile::encodeName(fileName));
    QStringList expected{target};
    if (saved)
        expected << target + QLatin1Char('/') + stored;
    expected.sort();
    // Names the file system spells differently (a byte-order mark, a
    // noncharacter) still count: what matters is where files land, and how many.
    bool inside = around.size() == expected.size() && around.value(0) == target;
    for (const QString &entry : around)
        inside = inside && (entry == target || entry.startsWith(target + QLatin1Char('/')));
    FuzzCheck::require(inside, "a saved file lands in the target folder only",
                       QStringLiteral("name \"%1\", saved %2, found: %3")
                           .arg(fileName)
                           .arg(saved)
                           .arg(around.join(QStringLiteral(", "))));
    if (saved)
        FuzzCheck::require(QFileInfo(QDir(targetDir()).filePath(stored)).size() == size,
                           "a saved file holds the received content");
    QDir dir(targetDir());
    for (const QString &name :
         dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot))
        FuzzCheck::require(dir.remove(name), "emptying the target folder");
}
