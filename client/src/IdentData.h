#ifndef IDENTDATA_H
#define IDENTDATA_H

#include <QString>

class QByteArray;
class QDataStream;

/// Names one value on the server: a kind text plus the kind's fields.
/// The plain class is the "unknown" kind without fields; the subclasses add a
/// key (and a uuid for runtime values). Identifiers are values: they are cloned
/// whenever they change hands and never shared between threads.
class IdentData
{
public:
    explicit IdentData(const QString &kindName = QStringLiteral("unknown"));
    virtual ~IdentData();

    virtual IdentData *clone() const;
    virtual void fromByteArray(const QByteArray &data);
    virtual QDataStream &read(QDataStream &in);
    virtual QString description() const;
    virtual QString toString() const;
    virtual QDataStream &write(QDataStream &out) const;
    virtual QDataStream &readFields(QDataStream &in);

    const QString &kindName() const { return m_kindName; }

protected:
    IdentData(const IdentData &) = default;
    IdentData &operator=(const IdentData &) = delete;

private:
    QString m_kindName;
};

#endif // IDENTDATA_H
