#include "ListTypes.h"

#include "LengthCheck.h"

#include <QDataStream>
#include <QIODevice>
#include <QtEndian>

#include <cstring>
#include <limits>

namespace ListTypes {
namespace {

// Restores a failure status the stream had before the list was read, as
// QDataStream's own container readers do.
class StatusKeeper
{
public:
    explicit StatusKeeper(QDataStream &s) : m_stream(s), m_old(s.status())
    {
        m_stream.resetStatus();
    }
    ~StatusKeeper()
    {
        if (m_old != QDataStream::Ok) {
            m_stream.resetStatus();
            m_stream.setStatus(m_old);
        }
    }
    StatusKeeper(const StatusKeeper &) = delete;
    StatusKeeper &operator=(const StatusKeeper &) = delete;

private:
    QDataStream &m_stream;
    QDataStream::Status m_old;
};

// One element as Qt reads it; a text only once its length can fit.
template <typename T>
void readElement(QDataStream &in, T &element)
{
    in >> element;
}

void readElement(QDataStream &in, QString &element)
{
    LengthCheck::readText(in, element);
}

// Reads a list's element count; false when the list ends there, the count
// being cut off or more than the rest of the stream can hold. Qt would read
// element after element until the data ran out, then empty the list: the
// rest is consumed and the stream fails the same way.
bool readCount(QDataStream &in, quint32 &count, qint64 minElementSize)
{
    in >> count;
    if (in.status() != QDataStream::Ok)
        return false;
    if (LengthCheck::fits(in, count, minElementSize))
        return true;
    LengthCheck::runOut(in);
    return false;
}

template <typename T>
QDataStream &readCapped(QDataStream &in, QList<T> &list, qint64 minElementSize)
{
    StatusKeeper keeper(in);
    list.clear();
    quint32 count = 0;
    if (!readCount(in, count, minElementSize))
        return in;
    list.reserve(int(count));
    for (quint32 i = 0; i < count; ++i) {
        T element;
        readElement(in, element);
        if (in.status() != QDataStream::Ok) {
            list.clear();
            break;
        }
        list.append(element);
    }
    return in;
}

// Numbers travel as one block of big-endian words, converted in one pass:
// element by element through the stream costs seconds for 50 MB.
template <typename T, typename Word>
QDataStream &readNumbers(QDataStream &in, QList<T> &list)
{
    static_assert(sizeof(T) == sizeof(Word), "a number is one word");
    StatusKeeper keeper(in);
    list.clear();
    quint32 count = 0;
    if (!readCount(in, count, sizeof(Word)))
        return in;
    QByteArray block(int(count * sizeof(Word)), Qt::Uninitialized);
    if (in.readRawData(block.data(), block.size()) != block.size()) {
        in.setStatus(QDataStream::ReadPastEnd);
        return in;
    }
    list.reserve(int(count));
    const char *at = block.constData();
    for (quint32 i = 0; i < count; ++i, at += sizeof(Word)) {
        const Word word = qFromBigEndian<Word>(at);
        T value;
        std::memcpy(&value, &word, sizeof(Word));
        list.append(value);
    }
    return in;
}

template <typename T, typename Word>
QDataStream &writeNumbers(QDataStream &out, const QList<T> &list)
{
    if (quint64(list.size()) * sizeof(Word) > quint64(std::numeric_limits<int>::max() - 4))
        return out << list; // beyond one block: the stream writes element by element
    QByteArray block(int(sizeof(quint32) + size_t(list.size()) * sizeof(Word)), Qt::Uninitialized);
    char *at = block.data();
    qToBigEndian<quint32>(quint32(list.size()), at);
    at += sizeof(quint32);
    for (const T &value : list) {
        Word word;
        std::memcpy(&word, &value, sizeof(Word));
        qToBigEndian<Word>(word, at);
        at += sizeof(Word);
    }
    out.writeRawData(block.constData(), block.size());
    return out;
}

template <typename T, QDataStream &(*Reader)(QDataStream &, QList<T> &),
          QDataStream &(*Writer)(QDataStream &, const QList<T> &)>
void registerList(const char *name)
{
    const int id = qRegisterMetaType<QList<T>>(name);
    QMetaType::registerStreamOperators(
        id,
        [](QDataStream &out, const void *data) {
            Writer(out, *static_cast<const QList<T> *>(data));
        },
        [](QDataStream &in, void *data) { Reader(in, *static_cast<QList<T> *>(data)); });
}

QDataStream &writePointList(QDataStream &out, const QList<QPoint> &list)
{
    return out << list;
}

} // namespace

// A null string is 4 bytes on the wire, an int 4, a double 8, a point 8.
QDataStream &readStringList(QDataStream &in, QStringList &list)
{
    return readCapped<QString>(in, list, 4);
}

QDataStream &readIntList(QDataStream &in, QList<qint32> &list)
{
    return readNumbers<qint32, quint32>(in, list);
}

QDataStream &readDoubleList(QDataStream &in, QList<double> &list)
{
    return readNumbers<double, quint64>(in, list);
}

QDataStream &writeIntList(QDataStream &out, const QList<qint32> &list)
{
    return writeNumbers<qint32, quint32>(out, list);
}

QDataStream &writeDoubleList(QDataStream &out, const QList<double> &list)
{
    return writeNumbers<double, quint64>(out, list);
}

QDataStream &readPointList(QDataStream &in, QList<QPoint> &list)
{
    return readCapped<QPoint>(in, list, 8);
}

void registerStreamOperators()
{
    registerList<qint32, readIntList, writeIntList>("QList<int>");
    registerList<qint32, readIntList, writeIntList>("QList<qint32>");
    registerList<double, readDoubleList, writeDoubleList>("QList<double>");
    registerList<QPoint, readPointList, writePointList>("QList<QPoint>");
}

} // namespace ListTypes
