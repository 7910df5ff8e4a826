#ifndef LISTTYPES_H
#define LISTTYPES_H

#include <QList>
#include <QMetaType>
#include <QPoint>
#include <QStringList>

class QDataStream;

/// Reading and registration of the list types that travel in packages and
/// inside variants.
///
/// The readers give exactly what QDataStream's own list operators give (the
/// list, or an empty list with the stream past its end when an element is
/// missing), but they never reserve room for more elements than the rest of the
/// stream can hold: a peer announcing 0x7FFFFFFF elements in an 8-byte payload
/// would otherwise make Qt throw std::bad_alloc inside the application.
namespace ListTypes {

QDataStream &readStringList(QDataStream &in, QStringList &list);
QDataStream &readIntList(QDataStream &in, QList<qint32> &list);
QDataStream &readDoubleList(QDataStream &in, QList<double> &list);
QDataStream &readPointList(QDataStream &in, QList<QPoint> &list);

/// Write exactly what QDataStream's list operators write, in one block.
QDataStream &writeIntList(QDataStream &out, const QList<qint32> &list);
QDataStream &writeDoubleList(QDataStream &out, const QList<double> &list);

/// Registers "QList<int>", "QList<qint32>", "QList<double>" and "QList<QPoint>"
/// as meta-types together with their QDataStream save and load operators, so
/// that a QVariant holding one of them can be written and read. Repeating it
/// changes nothing.
void registerStreamOperators();

} // namespace ListTypes

#endif // LISTTYPES_H
