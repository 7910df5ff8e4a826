#include "ListTypes.h"

#include "LengthCheck.h"

#include <QDataStream>
#include <QIODevice>

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

template <typename T>
QDataStream &readCapped(QDataStream &in, QList<T> &list, qint64 minElementSize)
{
    StatusKeeper keeper(in);
    list.clear();
    quint32 count = 0;
    in >> count;
    if (in.status() != QDataStream::Ok)
        return in;
    if (!LengthCheck::fits(in, count, minElementSize)) {
        // Qt would read element after element until the data ran out, then
        // empty the list: consume the rest and fail the same way.
        LengthCheck::runOut(in);
        return in;
    }
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

template <typename T, QDataStream &(*Reader)(QDataStream &, QList<T> &)>
void registerList(const char *name)
{
    const int id = qRegisterMetaType<QList<T>>(name);
    QMetaType::registerStreamOperators(
        id, [](QDataStream &out, const void *data) { out << *static_cast<const QList<T> *>(data); },
        [](QDataStream &in, void *data) { Reader(in, *static_cast<QList<T> *>(data)); });
}

} // namespace

// A null string is 4 bytes on the wire, an int 4, a double 8, a point 8.
QDataStream &readStringList(QDataStream &in, QStringList &list)
{
    return readCapped<QString>(in, list, 4);
}

QDataStream &readIntList(QDataStream &in, QList<qint32> &list)
{
    return readCapped<qint32>(in, list, 4);
}

QDataStream &readDoubleList(QDataStream &in, QList<double> &list)
{
    return readCapped<double>(in, list, 8);
}

QDataStream &readPointList(QDataStream &in, QList<QPoint> &list)
{
    return readCapped<QPoint>(in, list, 8);
}

void registerStreamOperators()
{
    registerList<qint32, readIntList>("QList<int>");
    registerList<qint32, readIntList>("QList<qint32>");
    registerList<double, readDoubleList>("QList<double>");
    registerList<QPoint, readPointList>("QList<QPoint>");
}

} // namespace ListTypes
