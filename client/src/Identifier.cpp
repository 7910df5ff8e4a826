#include "Identifier.h"

#include "IdentData.h"
#include "IdentDataGlobals.h"
#include "IdentDataMqtt.h"
#include "IdentDataOpcua.h"
#include "IdentDataRuntime.h"
#include "LengthCheck.h"
#include "VdsProtocol.h"

#include <QDataStream>

namespace {

QString textOf(const IdentData *data)
{
    return data ? data->toString() : QString();
}

} // namespace

Identifier::Identifier() : Identifier(new IdentData(QStringLiteral("unknown"))) {}

Identifier::Identifier(IdentData *data) : m_data(data), m_text(textOf(data)) {}

// The clone has the same text: shared, not built again.
Identifier::Identifier(const Identifier &other) : m_data(other.cloneData()), m_text(other.m_text) {}

Identifier::Identifier(Identifier &&other) noexcept
    : m_data(other.m_data), m_text(std::move(other.m_text))
{
    other.m_data = nullptr;
    other.m_text = QString();
}

Identifier &Identifier::operator=(const Identifier &other)
{
    if (this != &other) {
        IdentData *data = other.cloneData();
        delete m_data;
        m_data = data;
        m_text = other.m_text;
    }
    return *this;
}

Identifier &Identifier::operator=(Identifier &&other) noexcept
{
    if (this != &other) {
        delete m_data;
        m_data = other.m_data;
        m_text = std::move(other.m_text);
        other.m_data = nullptr;
        other.m_text = QString();
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
    m_text = textOf(data);
}

IdentData *Identifier::cloneData() const
{
    return m_data ? m_data->clone() : nullptr;
}

IdentData *Identifier::take()
{
    IdentData *data = m_data;
    m_data = nullptr;
    m_text = QString();
    return data;
}

void Identifier::setFromConst(int kind, const QString &key)
{
    switch (kind) {
    case VdsProtocol::OpcuaConst:
        reset(new IdentDataOpcua(key));
        break;
    case VdsProtocol::MqttConst:
        reset(new IdentDataMqtt(key));
        break;
    }
}

int Identifier::typeIndex() const
{
    if (dynamic_cast<const IdentDataRuntime *>(m_data))
        return VdsProtocol::RuntimeKind;
    if (dynamic_cast<const IdentDataGlobals *>(m_data))
        return VdsProtocol::GlobalsKind;
    if (dynamic_cast<const IdentDataOpcua *>(m_data))
        return VdsProtocol::OpcuaKind;
    if (dynamic_cast<const IdentDataMqtt *>(m_data))
        return VdsProtocol::MqttKind;
    return VdsProtocol::UnknownKind;
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
    // Read whole before it is held, so that the text is made of what was read.
    ident.reset(Identifier::readData(in));
    return in;
}

IdentData *Identifier::readData(QDataStream &in)
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
    data->read(in);
    return data;
}
