#include "Identifier.h"

#include "IdentData.h"
#include "IdentDataGlobals.h"
#include "IdentDataMqtt.h"
#include "IdentDataOpcua.h"
#include "IdentDataRuntime.h"
#include "LengthCheck.h"

#include <QDataStream>

Identifier::Identifier() : m_data(new IdentData(QStringLiteral("unknown"))) {}

Identifier::Identifier(IdentData *data) : m_data(data) {}

Identifier::Identifier(const Identifier &other) : m_data(other.cloneData()) {}

Identifier::Identifier(Identifier &&other) noexcept : m_data(other.m_data)
{
    other.m_data = nullptr;
}

Identifier &Identifier::operator=(const Identifier &other)
{
    if (this != &other)
        reset(other.cloneData());
    return *this;
}

Identifier &Identifier::operator=(Identifier &&other) noexcept
{
    if (this != &other) {
        delete m_data;
        m_data = other.m_data;
        other.m_data = nullptr;
    }
    return *this;
}

Identifier::~Identifier()
{
    delete m_data;
    m_data = nullptr;
}

void Identifier::reset(IdentData *data)
{
    if (data == m_data)
        return;
    delete m_data;
    m_data = data;
}

IdentData *Identifier::cloneData() const
{
    return m_data ? m_data->clone() : nullptr;
}

IdentData *Identifier::take()
{
    IdentData *data = m_data;
    m_data = nullptr;
    return data;
}

void Identifier::setFromConst(VDS_IDENT_CONSTS kind, const QString &key)
{
    switch (kind) {
    case VDS_IDENT_OPCUA:
        reset(new IdentDataOpcua(key));
        break;
    case VDS_IDENT_MQTT:
        reset(new IdentDataMqtt(key));
        break;
    }
}

int Identifier::typeIndex() const
{
    if (dynamic_cast<const IdentDataRuntime *>(m_data))
        return 1;
    if (dynamic_cast<const IdentDataGlobals *>(m_data))
        return 2;
    if (dynamic_cast<const IdentDataOpcua *>(m_data))
        return 3;
    if (dynamic_cast<const IdentDataMqtt *>(m_data))
        return 4;
    return 0;
}

QString Identifier::toString() const
{
    return m_data ? m_data->toString() : QString();
}

QString Identifier::description() const
{
    return m_data ? m_data->description() : QString();
}

bool operator<(const Identifier &a, const Identifier &b)
{
    return a.toString() < b.toString();
}

QDataStream &operator<<(QDataStream &out, const Identifier &ident)
{
    if (ident.data())
        ident.data()->write(out);
    return out;
}

QDataStream &operator>>(QDataStream &in, Identifier &ident)
{
    QString kind;
    LengthCheck::readText(in, kind);
    IdentData *data;
    if (kind == QLatin1String("runtime"))
        data = new IdentDataRuntime();
    else if (kind == QLatin1String("globals"))
        data = new IdentDataGlobals();
    else if (kind == QLatin1String("opcua"))
        data = new IdentDataOpcua();
    else if (kind == QLatin1String("mqtt"))
        data = new IdentDataMqtt();
    else
        data = new IdentData(QStringLiteral("unknown"));
    ident.reset(data);
    data->read(in);
    return in;
}
