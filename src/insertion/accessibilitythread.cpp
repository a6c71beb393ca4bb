#include "insertion/accessibilitythread.h"

using namespace Qt::StringLiterals;

AccessibilityThread::AccessibilityThread(AccessibilityBackend &backend)
    : m_backend(backend)
    , m_context(new QObject)
{
    m_thread.setObjectName(u"accessibility"_s);
    m_context->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_context, &QObject::deleteLater);
    m_thread.start();
    // Connecting early lets the backend follow focus events from the start.
    QMetaObject::invokeMethod(
        m_context, [this] { m_backend.isBusEnabled(); }, Qt::QueuedConnection);
}

AccessibilityThread::~AccessibilityThread()
{
    // Work still queued is dropped; a call in progress ends within its time-out.
    m_thread.quit();
    m_thread.wait();
}
