#include "insertion/targetcapture.h"

#include <cmath>

using namespace Qt::StringLiterals;

const QString TargetCapture::noStoredTargetReason = u"Ворсик не смог запомнить исходное окно."_s;
const QString TargetCapture::noCurrentWindowReason = u"Не удалось определить текущее окно с курсором."_s;
const QString TargetCapture::otherApplicationReason = u"Открыто другое приложение."_s;
const QString TargetCapture::otherPageReason = u"Открыта другая страница."_s;
const QString TargetCapture::otherWindowReason = u"Открыто другое окно."_s;
const QString TargetCapture::noTextFieldReason = u"Приложение не сообщает о своём поле ввода."_s;

namespace {

// Text equality under canonical equivalence.
bool sameText(const QString &a, const QString &b)
{
    return a == b || a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}

bool sameOptionalText(const std::optional<QString> &a, const std::optional<QString> &b)
{
    if (a.has_value() != b.has_value())
        return false;
    return !a || sameText(*a, *b);
}

// Two texts conflict only when both have something left after trimming and that differs.
bool textsConflict(const std::optional<QString> &a, const std::optional<QString> &b)
{
    if (!a || !b)
        return false;
    const QString trimmedA = a->trimmed();
    const QString trimmedB = b->trimmed();
    return !trimmedA.isEmpty() && !trimmedB.isEmpty() && !sameText(trimmedA, trimmedB);
}

} // namespace

TargetCapture::TargetCapture(AccessibilityBackend &backend)
    : m_backend(backend)
{
}

std::optional<TextInsertionTarget> TargetCapture::captureTarget()
{
    if (!m_backend.isBusEnabled())
        return std::nullopt;
    const std::optional<qint32> pid = m_backend.frontmostProcessIdentifier();
    if (!pid || *pid == m_backend.ownProcessIdentifier())
        return std::nullopt;
    const AccessibleElementRef application = m_backend.applicationElement(*pid);
    if (!application) {
        AccessibleElementRef window = m_backend.frontWindow(*pid);
        if (!window)
            return std::nullopt;
        TextInsertionTarget target;
        target.applicationPID = *pid;
        target.windowFingerprint = fingerprint(window);
        target.window = std::move(window);
        target.windowLevel = true;
        return target;
    }
    AccessibleElementRef window = elementAttribute(m_backend, application, AccessibilityAttribute::focusedWindow);
    if (!window)
        return std::nullopt;
    AccessibleElementRef focused = elementAttribute(m_backend, application, AccessibilityAttribute::focusedElement);

    TextInsertionTarget target;
    target.applicationPID = *pid;
    target.windowFingerprint = fingerprint(window);
    target.window = std::move(window);
    if (focused)
        target.pageIdentity = pageIdentity(focused);
    target.focusedElement = std::move(focused);
    return target;
}

WindowFingerprint TargetCapture::fingerprint(const AccessibleElementRef &window)
{
    WindowFingerprint print;
    print.windowId = integerAttribute(m_backend, window, AccessibilityAttribute::windowId);
    print.role = textAttribute(m_backend, window, AccessibilityAttribute::role);
    print.identifier = textAttribute(m_backend, window, AccessibilityAttribute::identifier);
    print.title = textAttribute(m_backend, window, AccessibilityAttribute::title);
    if (const std::optional<QPointF> position = pointAttribute(m_backend, window, AccessibilityAttribute::position)) {
        if (const std::optional<QSizeF> size = sizeAttribute(m_backend, window, AccessibilityAttribute::size))
            print.frame = QRectF(*position, *size);
    }
    return print;
}

std::optional<QString> TargetCapture::pageIdentity(const AccessibleElementRef &element)
{
    // Names, not identities, of a tab change as its document is edited; the object stays.
    static const QStringList documentRoles { u"document frame"_s, u"document web"_s, u"document text"_s,
        u"document spreadsheet"_s, u"document presentation"_s, u"document email"_s, u"internal frame"_s };
    std::optional<QString> tab;
    std::optional<QString> frame;
    AccessibleElementRef current = element;
    for (int visited = 1; current && visited <= pageIdentitySearchDepth; ++visited) {
        if (std::optional<QString> url = stringOrURLAttribute(m_backend, current, AccessibilityAttribute::url))
            return u"url:"_s + *url;
        if (std::optional<QString> document
            = stringOrURLAttribute(m_backend, current, AccessibilityAttribute::document))
            return u"document:"_s + *document;
        if (!tab || !frame) {
            const std::optional<QString> role = textAttribute(m_backend, current, AccessibilityAttribute::role);
            std::optional<QString> &slot = role == u"page tab"_s ? tab : frame;
            if (role && !slot && (role == u"page tab"_s || documentRoles.contains(*role)))
                slot = textAttribute(m_backend, current, AccessibilityAttribute::objectIdentity);
        }
        current = elementAttribute(m_backend, current, AccessibilityAttribute::parent);
    }
    if (tab)
        return u"tab:"_s + *tab;
    if (frame)
        return u"frame:"_s + *frame;
    return std::nullopt;
}

bool TargetCapture::windowsMatch(const TextInsertionTarget &stored, const TextInsertionTarget &current)
{
    const WindowFingerprint &a = stored.windowFingerprint;
    const WindowFingerprint &b = current.windowFingerprint;
    // Without anything readable inside, the title is what tells one document of a window from another.
    if (stored.windowLevel || current.windowLevel)
        return a.windowId && b.windowId && *a.windowId == *b.windowId && titlesDoNotConflict(a.title, b.title);
    if (a.windowId && b.windowId)
        return *a.windowId == *b.windowId;
    if (stored.window && current.window && m_backend.isSameObject(stored.window, current.window))
        return titlesDoNotConflict(a.title, b.title);
    return sameOptionalText(a.role, b.role) && !textsConflict(a.identifier, b.identifier) && a.frame && b.frame
        && approximatelyEqual(*a.frame, *b.frame) && titlesDoNotConflict(a.title, b.title);
}

std::optional<QString> TargetCapture::changeReason(
    const std::optional<TextInsertionTarget> &stored, const std::optional<TextInsertionTarget> &fresh)
{
    if (!stored)
        return noStoredTargetReason;
    if (!fresh)
        return noCurrentWindowReason;
    if (stored->applicationPID != fresh->applicationPID)
        return otherApplicationReason;
    if (stored->pageIdentity && fresh->pageIdentity && *stored->pageIdentity != *fresh->pageIdentity)
        return otherPageReason;
    if (!windowsMatch(*stored, *fresh))
        return otherWindowReason;
    return std::nullopt;
}

bool TargetCapture::titlesDoNotConflict(const std::optional<QString> &a, const std::optional<QString> &b)
{
    return !textsConflict(a, b);
}

bool TargetCapture::approximatelyEqual(const QRectF &a, const QRectF &b)
{
    const QRectF na = a.normalized();
    const QRectF nb = b.normalized();
    return std::abs(na.x() - nb.x()) <= frameTolerance && std::abs(na.y() - nb.y()) <= frameTolerance
        && std::abs(na.width() - nb.width()) <= frameTolerance && std::abs(na.height() - nb.height()) <= frameTolerance;
}
