#pragma once

#include "insertion/atspi/atspielement.h"

#include <QRectF>
#include <QString>

#include <optional>

class AtspiCalls;

// What an element says of itself: its names, where it is, its document, its text and the
// selection in it, each read by one call under the rules of AtspiCalls.
class AtspiReadBack {
public:
    explicit AtspiReadBack(AtspiCalls &calls);

    std::optional<QString> text(const AtspiElement &element, gchar *(*read)(AtspiAccessible *, GError **));
    std::optional<QRectF> extents(const AtspiElement &element);
    std::optional<QString> documentAttribute(const AtspiElement &element, const char *name);
    std::optional<QString> wholeText(const AtspiElement &element);
    // In UTF-16 units, as QString counts.
    std::optional<TextRange> selectedRange(const AtspiElement &element);

private:
    AtspiCalls &calls;
};
