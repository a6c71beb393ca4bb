#include "insertion/atspi/atspielement.h"

#include "insertion/atspi/atspiconnection.h"

namespace {

gboolean unrefAccessible(gpointer accessible)
{
    g_object_unref(accessible);
    return G_SOURCE_REMOVE;
}

} // namespace

AtspiElement::AtspiElement(AtspiAccessible *accessible, ElementKind kind)
    : m_accessible(accessible)
    , m_isApplication(kind == ElementKind::application)
{
}

AtspiElement::~AtspiElement()
{
    if (GMainContext *context = atspiMainContext())
        g_main_context_invoke(context, unrefAccessible, m_accessible);
    else
        g_object_unref(m_accessible);
}

QString AtspiElement::busName() const
{
    const AtspiApplication *app = m_accessible->parent.app;
    return app && app->bus_name ? QString::fromUtf8(app->bus_name) : QString();
}

ElementPtr adopt(AtspiAccessible *accessible, ElementKind kind)
{
    return accessible ? std::make_shared<const AtspiElement>(accessible, kind) : nullptr;
}

ElementPtr share(AtspiAccessible *accessible, ElementKind kind)
{
    return accessible ? adopt(ATSPI_ACCESSIBLE(g_object_ref(accessible)), kind) : nullptr;
}

const AtspiElement *atspi(const AccessibleElementRef &element)
{
    return dynamic_cast<const AtspiElement *>(element.get());
}
