#ifndef OUTPUT_H
#define OUTPUT_H

#include "TypedValue.h"
#include "ValueName.h"

#include <QJsonObject>
#include <QString>

/// Everything vdsctl prints. Standard output carries results only, as bare
/// text (one line per list item) or as one JSON object per line, the same on
/// a terminal and in a pipe, and every line is flushed at once so that a
/// reader of a watch stream sees each change as it happens. Errors go to
/// standard error as one line beginning with "error: ".
class Output
{
public:
    enum Format
    {
        Text,
        Json,
    };

    explicit Output(Format format = Text) : m_format(format) {}

    Format format() const { return m_format; }

    void value(const ValueName &name, const TypedValue &value) const;
    void type(const ValueName &name, TypedValue::Type type) const;
    /// One watch line: the value's name and its new value, or that it is gone
    /// when `value` is null.
    void change(const ValueName &name, const TypedValue *value) const;
    void savedFile(const ValueName &name, const QString &path, qint64 size) const;

    static void error(const QString &text);
    /// Progress and notes for a person: standard error, no "error: " prefix.
    static void note(const QString &text);
    static void writeOut(const QByteArray &bytes);

private:
    void json(const ValueName &name, const QJsonObject &members) const;

    Format m_format;
};

#endif // OUTPUT_H
