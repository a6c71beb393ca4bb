#include "insertion/atspi/atspidirectinsertion.h"

#include "insertion/atspi/atspicalls.h"

#include <algorithm>

bool insertAtCaret(AtspiCalls &calls, const AtspiElement &element, const QString &toolkit, const QString &text)
{
    // The length argument is counted in UTF-16 units by Qt and in bytes by the ATK toolkits (GTK and others).
    const bool qt = toolkit.compare(u"Qt", Qt::CaseInsensitive) == 0;
    const QByteArray utf8 = text.toUtf8();
    const gint length = gint(qt ? text.size() : utf8.size());
    return calls.call(element, [&](GError **error) {
        AtspiEditableText *editable = atspi_accessible_get_editable_text_iface(element.accessible());
        AtspiText *readable = atspi_accessible_get_text_iface(element.accessible());
        bool inserted = false;
        if (editable && readable) {
            // The caret comes in the toolkit's own unit and goes back in it.
            const gint caret = atspi_text_get_caret_offset(readable, nullptr);
            inserted = atspi_editable_text_insert_text(editable, std::max(caret, 0), utf8.constData(), length, error);
        }
        if (editable)
            g_object_unref(editable);
        if (readable)
            g_object_unref(readable);
        return inserted;
    });
}
