#pragma once

#include "insertion/atspi/atspielement.h"

#include <QString>

class AtspiCalls;

// Puts the text at the caret of an editable element through its EditableText interface, with
// the length counted the way `toolkit` counts it; true once the element said it took the text.
bool insertAtCaret(AtspiCalls &calls, const AtspiElement &element, const QString &toolkit, const QString &text);
