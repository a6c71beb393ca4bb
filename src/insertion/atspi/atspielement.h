#pragma once

#include "insertion/accessibilitybackend.h"

#include <QString>

#include <atspi/atspi.h>

#include <memory>

// Whether an AT-SPI object is an application's root, which names the application.
enum class ElementKind { other, application };

// Owns one reference to an AT-SPI object.
class AtspiElement final : public AccessibleElement {
public:
    // Adopts the reference the caller holds.
    AtspiElement(AtspiAccessible *accessible, ElementKind kind);
    // The last holder may be on another thread; the reference is dropped on AT-SPI's own.
    ~AtspiElement() override;
    AtspiElement(const AtspiElement &) = delete;
    AtspiElement &operator=(const AtspiElement &) = delete;

    AtspiAccessible *accessible() const { return m_accessible; }
    bool isApplication() const { return m_isApplication; }
    QString busName() const;
    QString path() const { return QString::fromUtf8(m_accessible->parent.path); }

private:
    AtspiAccessible *m_accessible;
    bool m_isApplication;
};

using ElementPtr = std::shared_ptr<const AtspiElement>;

// A Wayland window, by the compositor's word, of an application that is not on the accessibility bus.
class CompositorWindowElement final : public AccessibleElement {
public:
    explicit CompositorWindowElement(qint64 id)
        : id(id)
    {
    }
    const qint64 id;
};

// A top-level X11 window of an application that is not on the accessibility bus.
class X11WindowElement final : public AccessibleElement {
public:
    explicit X11WindowElement(qint64 id)
        : id(id)
    {
    }
    const qint64 id;
};

// Takes over the caller's reference.
ElementPtr adopt(AtspiAccessible *accessible, ElementKind kind = ElementKind::other);
// Takes a reference of its own.
ElementPtr share(AtspiAccessible *accessible, ElementKind kind = ElementKind::other);
const AtspiElement *atspi(const AccessibleElementRef &element);
