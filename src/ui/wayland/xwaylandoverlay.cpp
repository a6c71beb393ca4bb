#include "ui/wayland/xwaylandoverlay.h"

#include "core/logging.h"

#include <QCoreApplication>
#include <QImage>
#include <QMouseEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

// After Qt: Xlib's macros (None, Bool, Status…) would break Qt's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include <array>
#include <vector>

namespace {

constexpr int topMargin = 28;
// Dictated text is far below one request; larger contents would need the INCR protocol.
constexpr qsizetype largestCopy = 128 * 1024;

} // namespace

struct XwaylandOverlay::X11 {
    Display *display = nullptr;
    Visual *visual = nullptr;
    Colormap colormap = 0;
    Window window = 0;
    GC gc = nullptr;
    Atom clipboard = 0, targets = 0, utf8 = 0, plainUtf8 = 0;
    QSize size;
    bool mapped = false;

    Atom atom(const char *name) const { return XInternAtom(display, name, False); }

    ~X11()
    {
        if (gc)
            XFreeGC(display, gc);
        if (window)
            XDestroyWindow(display, window);
        if (colormap)
            XFreeColormap(display, colormap);
        if (display)
            XCloseDisplay(display);
    }
};

std::unique_ptr<XwaylandOverlay> XwaylandOverlay::make(QWidget *panel)
{
    auto x11 = std::make_unique<X11>();
    if (!(x11->display = XOpenDisplay(nullptr)))
        return nullptr;
    Display *display = x11->display;
    const Window root = DefaultRootWindow(display);
    // Transparent corners need a visual with alpha.
    XVisualInfo visual {};
    if (!XMatchVisualInfo(display, DefaultScreen(display), 32, TrueColor, &visual)) {
        qCInfo(lcUI) << "overlay: the X server has no visual with alpha";
        return nullptr;
    }
    x11->visual = visual.visual;
    x11->colormap = XCreateColormap(display, root, visual.visual, AllocNone);
    XSetWindowAttributes attributes {};
    attributes.colormap = x11->colormap;
    attributes.event_mask = ButtonPressMask | ButtonReleaseMask | ExposureMask;
    x11->window = XCreateWindow(display, root, 0, 0, 1, 1, 0, 32, InputOutput, visual.visual,
        CWColormap | CWBorderPixel | CWBackPixel | CWEventMask, &attributes);
    x11->gc = XCreateGC(display, x11->window, 0, nullptr);

    // Never given the focus, not even when it maps or is clicked.
    XWMHints hints {};
    hints.flags = InputHint;
    hints.input = False;
    XSetWMHints(display, x11->window, &hints);
    const auto setAtoms = [&](const char *property, std::initializer_list<const char *> values) {
        std::vector<Atom> atoms;
        for (const char *value : values)
            atoms.push_back(x11->atom(value));
        XChangeProperty(display, x11->window, x11->atom(property), XA_ATOM, 32, PropModeReplace,
            reinterpret_cast<const unsigned char *>(atoms.data()), int(atoms.size()));
    };
    setAtoms("_NET_WM_WINDOW_TYPE", { "_NET_WM_WINDOW_TYPE_NOTIFICATION" });
    setAtoms("_NET_WM_STATE", { "_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER" });
    const long userTime = 0;
    XChangeProperty(display, x11->window, x11->atom("_NET_WM_USER_TIME"), XA_CARDINAL, 32, PropModeReplace,
        reinterpret_cast<const unsigned char *>(&userTime), 1);
    // No frame: flags "decorations", decorations none.
    const std::array<long, 5> motif { 2, 0, 0, 0, 0 };
    XChangeProperty(display, x11->window, x11->atom("_MOTIF_WM_HINTS"), x11->atom("_MOTIF_WM_HINTS"), 32,
        PropModeReplace, reinterpret_cast<const unsigned char *>(motif.data()), int(motif.size()));
    XStoreName(display, x11->window, panel->windowTitle().toUtf8().constData());

    x11->clipboard = x11->atom("CLIPBOARD");
    x11->targets = x11->atom("TARGETS");
    x11->utf8 = x11->atom("UTF8_STRING");
    x11->plainUtf8 = x11->atom("text/plain;charset=utf-8");
    XFlush(display);
    return std::unique_ptr<XwaylandOverlay>(new XwaylandOverlay(panel, std::move(x11)));
}

XwaylandOverlay::XwaylandOverlay(QWidget *panel, std::unique_ptr<X11> x11)
    : m_panel(panel)
    , m_x11(std::move(x11))
    , m_events(std::make_unique<QSocketNotifier>(ConnectionNumber(m_x11->display), QSocketNotifier::Read))
{
    QObject::connect(m_events.get(), &QSocketNotifier::activated, this, &XwaylandOverlay::readEvents);
    m_panel->installEventFilter(this);
}

XwaylandOverlay::~XwaylandOverlay() { m_panel->removeEventFilter(this); }

void XwaylandOverlay::show(PanelClicks clicks)
{
    m_shown = true;
    m_clicks = clicks;
    Display *display = m_x11->display;
    if (clicks == PanelClicks::taken) {
        XShapeCombineMask(display, m_x11->window, ShapeInput, 0, 0, 0, ShapeSet);
    } else {
        // An empty input region: every click passes to the window underneath.
        XShapeCombineRectangles(display, m_x11->window, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
    }
    render();
}

void XwaylandOverlay::hide()
{
    m_shown = false;
    m_pressed.clear();
    if (m_x11->mapped)
        XUnmapWindow(m_x11->display, m_x11->window);
    m_x11->mapped = false;
    XFlush(m_x11->display);
}

bool XwaylandOverlay::copyText(const QString &text)
{
    const QByteArray copied = text.toUtf8();
    if (copied.size() > largestCopy)
        return false;
    m_copied = copied;
    XSetSelectionOwner(m_x11->display, m_x11->clipboard, m_x11->window, CurrentTime);
    const bool owns = XGetSelectionOwner(m_x11->display, m_x11->clipboard) == m_x11->window;
    readEvents();
    return owns;
}

bool XwaylandOverlay::eventFilter(QObject *watched, QEvent *event)
{
    // Every change of a widget on the panel asks its window for an update; so does a new size.
    if (watched == m_panel && (event->type() == QEvent::UpdateRequest || event->type() == QEvent::Resize)
        && !m_renderQueued) {
        m_renderQueued = true;
        // The mascot asks for every frame of the screen; thirty a second are plenty.
        QTimer::singleShot(33, this, &XwaylandOverlay::render);
    }
    return false;
}

void XwaylandOverlay::render()
{
    m_renderQueued = false;
    if (!m_shown || m_panel->size().isEmpty())
        return;
    Display *display = m_x11->display;
    QImage image(m_panel->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    m_panel->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    if (image.size() != m_x11->size || !m_x11->mapped) {
        m_x11->size = image.size();
        const int x = (DisplayWidth(display, DefaultScreen(display)) - image.width()) / 2;
        XSizeHints place {};
        place.flags = USPosition | PPosition;
        place.x = x;
        place.y = topMargin;
        XSetWMNormalHints(display, m_x11->window, &place);
        XMoveResizeWindow(display, m_x11->window, x, topMargin, uint(image.width()), uint(image.height()));
    }
    if (!m_x11->mapped) {
        XMapRaised(display, m_x11->window);
        m_x11->mapped = true;
    }
    // Premultiplied ARGB in the host's byte order is what a 32-bit TrueColor visual takes.
    XImage *pixels = XCreateImage(display, m_x11->visual, 32, ZPixmap, 0, reinterpret_cast<char *>(image.bits()),
        uint(image.width()), uint(image.height()), 32, int(image.bytesPerLine()));
    if (pixels) {
        XPutImage(display, m_x11->window, m_x11->gc, pixels, 0, 0, 0, 0, uint(image.width()), uint(image.height()));
        pixels->data = nullptr; // the QImage's
        XDestroyImage(pixels);
    }
    XFlush(display);
    readEvents();
}

void XwaylandOverlay::readEvents()
{
    Display *display = m_x11->display;
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
        case ButtonPress:
        case ButtonRelease:
            if (event.xbutton.button == Button1)
                press(QPoint(event.xbutton.x, event.xbutton.y),
                    event.type == ButtonPress ? QEvent::MouseButtonPress : QEvent::MouseButtonRelease);
            break;
        case Expose:
            if (event.xexpose.count == 0 && !m_renderQueued) {
                m_renderQueued = true;
                QTimer::singleShot(0, this, &XwaylandOverlay::render);
            }
            break;
        case SelectionClear:
            m_copied.clear();
            break;
        case SelectionRequest: {
            const XSelectionRequestEvent &request = event.xselectionrequest;
            XSelectionEvent reply {};
            reply.type = SelectionNotify;
            reply.display = display;
            reply.requestor = request.requestor;
            reply.selection = request.selection;
            reply.target = request.target;
            reply.time = request.time;
            // Clients from before ICCCM 2 name no property: the target's name is used.
            const Atom property = request.property ? request.property : request.target;
            if (request.selection == m_x11->clipboard && !m_copied.isNull()) {
                if (request.target == m_x11->targets) {
                    const std::array<Atom, 3> offered { m_x11->targets, m_x11->utf8, m_x11->plainUtf8 };
                    XChangeProperty(display, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(offered.data()), int(offered.size()));
                    reply.property = property;
                } else if (request.target == m_x11->utf8 || request.target == m_x11->plainUtf8) {
                    XChangeProperty(display, request.requestor, property, request.target, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(m_copied.constData()), int(m_copied.size()));
                    reply.property = property;
                }
            }
            XSendEvent(display, request.requestor, False, NoEventMask, reinterpret_cast<XEvent *>(&reply));
            XFlush(display);
            break;
        }
        default:
            break;
        }
    }
}

void XwaylandOverlay::press(QPoint position, QEvent::Type type)
{
    if (!m_shown || m_clicks != PanelClicks::taken)
        return;
    const bool pressed = type == QEvent::MouseButtonPress;
    if (pressed)
        m_pressed = m_panel->childAt(position);
    QWidget *target = m_pressed;
    if (!target)
        return;
    if (!pressed)
        m_pressed.clear();
    const QPointF local = target->mapFrom(m_panel, QPointF(position));
    QMouseEvent event(type, local, m_panel->mapToGlobal(QPointF(position)), Qt::LeftButton,
        pressed ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}
