#include "Output.h"

#include <QJsonDocument>

#include <cstdio>

namespace {

void writeLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void Output::value(const ValueName &name, const TypedValue &value) const
{
    if (m_format == Json) {
        json(name, {{QStringLiteral("type"), TypedValue::typeName(value.type())},
                    {QStringLiteral("value"), value.toJson()}});
        return;
    }
    const QStringList lines = value.lines();
    if (!lines.isEmpty())
        writeLine(stdout, lines.join(QLatin1Char('\n')));
}

void Output::type(const ValueName &name, TypedValue::Type type) const
{
    if (m_format == Json)
        json(name, {{QStringLiteral("type"), TypedValue::typeName(type)}});
    else
        writeLine(stdout, TypedValue::typeName(type));
}

void Output::change(const ValueName &name, const TypedValue *value) const
{
    if (m_format == Json) {
        if (!value)
            json(name, {{QStringLiteral("removed"), true}});
        else if (value->type() == TypedValue::File)
            json(name, {{QStringLiteral("type"), TypedValue::typeName(TypedValue::File)}});
        else
            this->value(name, *value);
        return;
    }
    QString text;
    if (!value)
        text = QStringLiteral("(removed)");
    else if (value->type() == TypedValue::File)
        text = QStringLiteral("(file)");
    else
        text = value->lines().join(QStringLiteral(", "));
    writeLine(stdout, name.display() + QLatin1Char(' ') + text);
}

void Output::savedFile(const ValueName &name, const QString &path, qint64 size) const
{
    if (m_format == Json)
        json(name, {{QStringLiteral("file"), path}, {QStringLiteral("size"), size}});
    else
        writeLine(stdout, path);
}

void Output::error(const QString &text)
{
    writeLine(stderr, QStringLiteral("error: ") + text);
}

void Output::note(const QString &text)
{
    writeLine(stderr, text);
}

void Output::writeOut(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void Output::json(const ValueName &name, const QJsonObject &members) const
{
    QJsonObject object = name.toJson();
    for (auto it = members.begin(); it != members.end(); ++it)
        object.insert(it.key(), it.value());
    writeLine(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}
