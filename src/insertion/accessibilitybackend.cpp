#include "insertion/accessibilitybackend.h"

namespace {

template<typename T>
std::optional<T> read(AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name)
{
    if (!element)
        return std::nullopt;
    AttributeValue value = backend.attribute(element, name);
    if (T *typed = std::get_if<T>(&value))
        return std::move(*typed);
    return std::nullopt;
}

} // namespace

AccessibleElementRef elementAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name)
{
    return read<AccessibleElementRef>(backend, element, name).value_or(nullptr);
}

std::optional<qint64> integerAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name)
{
    return read<qint64>(backend, element, name);
}

std::optional<QString> textAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name)
{
    return read<QString>(backend, element, name);
}

std::optional<QPointF> pointAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name)
{
    return read<QPointF>(backend, element, name);
}

std::optional<QSizeF> sizeAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name)
{
    return read<QSizeF>(backend, element, name);
}

std::optional<TextRange> rangeAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name)
{
    return read<TextRange>(backend, element, name);
}

std::optional<QString> stringOrURLAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name)
{
    if (!element)
        return std::nullopt;
    const AttributeValue value = backend.attribute(element, name);
    if (const QString *text = std::get_if<QString>(&value)) {
        QString trimmed = text->trimmed();
        if (trimmed.isEmpty())
            return std::nullopt;
        return trimmed;
    }
    if (const QUrl *url = std::get_if<QUrl>(&value))
        return url->toString(QUrl::FullyEncoded);
    return std::nullopt;
}
