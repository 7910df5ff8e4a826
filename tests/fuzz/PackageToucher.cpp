#include "PackageToucher.h"
#include "FrameBytes.h"

#include "DataPackage.h"
#include "FilePackage.h"
#include "FuzzCheck.h"
#include "HeaderDecoder.h"
#include "IdentData.h"
#include "VariantPackage.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString target = QStringLiteral("target");

// One decoder for the process: a decoder and its connection made for every
// frame took about a tenth of the decoder target's
// time under ASan. reset() leaves nothing of an earlier frame.
struct FrameReader
{
    HeaderDecoder decoder;
    QList<BasicPackagePtr> received;

    FrameReader()
    {
        QObject::connect(
            &decoder, &HeaderDecoder::dataProcessed,
            [this](const BasicPackagePtr &package, qint64, qint64) { received.append(package); });
    }
};

BasicPackagePtr decodeOne(const QByteArray &frame)
{
    static FrameReader *const reader = new FrameReader;
    reader->decoder.reset();
    reader->received.clear();
    reader->decoder.processData(frame);
    FuzzCheck::require(reader->received.size() == 1, "a written frame decodes to one package");
    return reader->received.takeFirst();
}

// The names in the folder `listing` reads, as the file system holds them.
QList<QByteArray> namesIn(DIR *listing)
{
    QList<QByteArray> names;
    ::rewinddir(listing);
    while (const dirent *entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    return names;
}

// Names as text, each with its bytes: two spellings of one text differ here.
QString spelled(const QList<QByteArray> &names)
{
    QStringList texts;
    for (const QByteArray &name : names)
        texts << QStringLiteral("\"%1\" (%2)")
                     .arg(QFile::decodeName(name), QString::fromLatin1(name.toHex()));
    return texts.join(QStringLiteral(", "));
}

QByteArray streamed(const std::function<void(QDataStream &)> &write)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(BasicPackage::StreamVersion);
    write(out);
    return bytes;
}

// Qt writes a hash's entries in bucket order, which follows the process's
// hash seed and the order the entries went in: two distinct keys sharing a
// bucket swap places on every write and read. The order means nothing, so
// variants are compared with every hash's entries sorted; everything else
// keeps its bytes.
void writeCanonical(QDataStream &out, const QVariant &value)
{
    const int type = value.userType();
    out << type << value.isNull();
    if (type == QMetaType::QVariantHash) {
        const QVariantHash hash = value.toHash();
        QList<QByteArray> entries;
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            entries << streamed([&it](QDataStream &entry) {
                entry << it.key();
                writeCanonical(entry, it.value());
            });
        std::sort(entries.begin(), entries.end());
        out << entries;
    } else if (type == QMetaType::QVariantMap) {
        const QVariantMap map = value.toMap();
        out << quint32(map.size());
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            out << it.key();
            writeCanonical(out, it.value());
        }
    } else if (type == QMetaType::QVariantList) {
        const QVariantList list = value.toList();
        out << quint32(list.size());
        for (const QVariant &element : list)
            writeCanonical(out, element);
    } else if (type == QMetaType::QVariant) {
        writeCanonical(out, *static_cast<const QVariant *>(value.constData()));
    } else {
        out << value;
    }
}

// Whether two variant frames differ at most in the order of hash entries:
// the same bytes up to the value, and the same value once hashes are sorted.
bool sameButHashOrder(const QByteArray &first, const QByteArray &second)
{
    if (first.size() != second.size())
        return false;
    const BasicPackagePtr a = decodeOne(first);
    const BasicPackagePtr b = decodeOne(second);
    const auto *va = dynamic_cast<const VariantPackage *>(a.data());
    const auto *vb = dynamic_cast<const VariantPackage *>(b.data());
    if (!va || !vb)
        return false;
    const int valueSize = streamed([va](QDataStream &out) { out << va->value(); }).size();
    const int prefix = first.size() - valueSize;
    return prefix >= 0 && first.left(prefix) == second.left(prefix) &&
           streamed([va](QDataStream &out) { writeCanonical(out, va->value()); }) ==
               streamed([vb](QDataStream &out) { writeCanonical(out, vb->value()); });
}

} // namespace

PackageToucher::PackageToucher()
    : m_targetDir(m_root.filePath(target)), m_targetPath(QFile::encodeName(m_targetDir))
{
    FuzzCheck::require(m_root.isValid() && QDir(m_root.path()).mkdir(target),
                       "a temporary folder for received files");
    m_rootListing = ::opendir(QFile::encodeName(m_root.path()).constData());
    m_targetListing = ::opendir(m_targetPath.constData());
    FuzzCheck::require(m_rootListing && m_targetListing, "the folders for received files open");
}

PackageToucher::~PackageToucher()
{
    if (m_rootListing)
        ::closedir(m_rootListing);
    if (m_targetListing)
        ::closedir(m_targetListing);
}

QString PackageToucher::targetDir() const
{
    return m_targetDir;
}

void PackageToucher::touch(const BasicPackagePtr &package, const QByteArray &frame)
{
    if (!package)
        return;
    touchFields(*package);
    requireStableFrame(*package, frame);
    if (const auto file = package.dynamicCast<FilePackage>()) {
        const bool saved = file->save(targetDir());
        requireSavedOnlyInside(saved, file->fileName(), file->contentSize());
    }
}

void PackageToucher::touchFields(const BasicPackage &package)
{
    // Writing the package again (requireStableFrame) reads every typed field;
    // this reads what writing does not: the text forms, the value as a
    // variant, and the identifier's own texts and copy. Every term is widened
    // on its own: fields come from the peer, so even two of them (an id near
    // INT_MAX and a type) would overflow an int sum.
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
    // Keeps the reads from being optimised away.
    volatile qint64 sink = sum;
    (void)sink;
}

void PackageToucher::requireStableFrame(const BasicPackage &package, const QByteArray &frame)
{
    const QByteArray first = frame.isNull() ? FrameBytes::encode(package) : frame;
    FuzzCheck::require(first.size() >= BasicPackage::HeaderSize,
                       "a written frame holds at least a header");
    FrameBytes::Header header;
    FuzzCheck::require(FrameBytes::readHeader(first, &header) &&
                           header.payloadSize == first.size() - BasicPackage::HeaderSize,
                       "a written header counts the payload that follows");
    const BasicPackagePtr again = decodeOne(first);
    FuzzCheck::require(again && again->type() == package.type(),
                       "a written frame reads back as its package type");
    QByteArray before = first;
    QByteArray second = FrameBytes::encode(*again);
    if (second != first && package.type() == BasicPackage::Variant) {
        // Qt settles some values on the way (a date-time at offset 0 from UTC
        // is read back as one in UTC): a variant may change once, not twice.
        before = second;
        second = FrameBytes::encode(*decodeOne(second));
    }
    const bool same = second == before ||
                      (package.type() == BasicPackage::Variant && sameButHashOrder(before, second));
    FuzzCheck::require(same, "a package read back writes the same frame", [&] {
        return QStringLiteral("type %1: %2 then %3")
            .arg(package.type())
            .arg(QString::fromLatin1(before.toHex()), QString::fromLatin1(second.toHex()));
    });
}

void PackageToucher::requireSavedOnlyInside(bool saved, const QString &fileName, qint64 size)
{
    const QList<QByteArray> around = namesIn(m_rootListing);
    const QList<QByteArray> inside = namesIn(m_targetListing);
    // The listing reads the folder it was opened on: that must still be the
    // one at the target's place, not one that a save moved away or replaced.
    struct stat opened = {};
    struct stat placed = {};
    const bool sameFolder = ::fstat(::dirfd(m_targetListing), &opened) == 0 &&
                            ::lstat(m_targetPath.constData(), &placed) == 0 &&
                            S_ISDIR(placed.st_mode) && opened.st_dev == placed.st_dev &&
                            opened.st_ino == placed.st_ino;
    // Nothing but the target folder beside it, and in it the saved file alone
    // (a folder or link a save made counts as an entry too).
    const bool onlyInside = sameFolder && around == QList<QByteArray>{target.toLatin1()} &&
                            inside.size() == (saved ? 1 : 0);
    FuzzCheck::require(onlyInside, "a saved file lands in the target folder only", [&] {
        return QStringLiteral("name \"%1\", saved %2, found beside: %3; inside: %4")
            .arg(fileName)
            .arg(saved)
            .arg(spelled(around), spelled(inside));
    });
    if (saved) {
        // The name is the received one in the file system's encoding, byte
        // for byte: compared undecoded, no spelling differs.
        const QByteArray name = QFile::encodeName(fileName);
        struct stat file = {};
        FuzzCheck::require(inside.constFirst() == name, "a saved file has the received name", [&] {
            return QStringLiteral("%1 for %2").arg(spelled(inside), spelled({name}));
        });
        FuzzCheck::require(::lstat((m_targetPath + '/' + name).constData(), &file) == 0 &&
                               S_ISREG(file.st_mode) && file.st_size == size,
                           "a saved file holds the received content");
    }
    for (const QByteArray &name : inside)
        FuzzCheck::require(::unlink((m_targetPath + '/' + name).constData()) == 0,
                           "emptying the target folder",
                           [] { return QString::fromLocal8Bit(strerror(errno)); });
}
