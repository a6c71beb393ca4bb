#include "insertion/atspi/atspireadback.h"

#include "insertion/atspi/atspicalls.h"

#include <algorithm>

namespace {

QString takeString(gchar *text)
{
    if (!text)
        return {};
    QString result = QString::fromUtf8(text);
    g_free(text);
    return result;
}

// AT-SPI counts text offsets in characters; QString counts UTF-16 code units.
qint64 utf16Offset(const QString &prefix, qint64 characters)
{
    qint64 units = 0;
    qint64 seen = 0;
    for (; seen < characters && units < prefix.size(); ++seen) {
        const bool pair
            = prefix.at(units).isHighSurrogate() && units + 1 < prefix.size() && prefix.at(units + 1).isLowSurrogate();
        units += pair ? 2 : 1;
    }
    // Past the text we were given each character counts as one unit.
    return units + (characters - seen);
}

} // namespace

AtspiReadBack::AtspiReadBack(AtspiCalls &calls)
    : calls(calls)
{
}

std::optional<QString> AtspiReadBack::text(const AtspiElement &element, gchar *(*read)(AtspiAccessible *, GError **))
{
    bool ok = false;
    QString value = calls.call(element, [&](GError **error) {
        gchar *raw = read(element.accessible(), error);
        ok = raw != nullptr;
        return takeString(raw);
    });
    return ok ? std::optional<QString>(value) : std::nullopt;
}

std::optional<QRectF> AtspiReadBack::extents(const AtspiElement &element)
{
    return calls.call(element, [&](GError **error) -> std::optional<QRectF> {
        AtspiComponent *component = atspi_accessible_get_component_iface(element.accessible());
        if (!component)
            return std::nullopt;
        AtspiRect *rect = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, error);
        g_object_unref(component);
        if (!rect)
            return std::nullopt;
        QRectF result(rect->x, rect->y, rect->width, rect->height);
        g_free(rect);
        if (result.width() < 0 || result.height() < 0)
            return std::nullopt;
        return result;
    });
}

std::optional<QString> AtspiReadBack::documentAttribute(const AtspiElement &element, const char *name)
{
    return calls.call(element, [&](GError **error) -> std::optional<QString> {
        AtspiDocument *document = atspi_accessible_get_document_iface(element.accessible());
        if (!document)
            return std::nullopt;
        gchar *raw = atspi_document_get_document_attribute_value(document, const_cast<gchar *>(name), error);
        g_object_unref(document);
        if (!raw)
            return std::nullopt;
        return takeString(raw);
    });
}

std::optional<QString> AtspiReadBack::wholeText(const AtspiElement &element)
{
    return calls.call(element, [&](GError **error) -> std::optional<QString> {
        AtspiText *text = atspi_accessible_get_text_iface(element.accessible());
        if (!text)
            return std::nullopt;
        gchar *raw = atspi_text_get_text(text, 0, -1, error);
        g_object_unref(text);
        if (!raw)
            return std::nullopt;
        return takeString(raw);
    });
}

std::optional<TextRange> AtspiReadBack::selectedRange(const AtspiElement &element)
{
    return calls.call(element, [&](GError **error) -> std::optional<TextRange> {
        AtspiText *text = atspi_accessible_get_text_iface(element.accessible());
        if (!text)
            return std::nullopt;
        std::optional<TextRange> range;
        gint start = -1, end = -1;
        if (atspi_text_get_n_selections(text, nullptr) > 0) {
            if (AtspiRange *selection = atspi_text_get_selection(text, 0, nullptr)) {
                start = std::min(selection->start_offset, selection->end_offset);
                end = std::max(selection->start_offset, selection->end_offset);
                g_free(selection);
            }
        }
        if (start < 0 || end <= start) {
            start = end = atspi_text_get_caret_offset(text, error);
        }
        if (start >= 0 && !(error && *error)) {
            // Offsets become UTF-16 units by measuring the text in front of them.
            const QString prefix = takeString(atspi_text_get_text(text, 0, end, nullptr));
            const qint64 location = utf16Offset(prefix, start);
            range = TextRange { location, utf16Offset(prefix, end) - location };
        }
        g_object_unref(text);
        return range;
    });
}
