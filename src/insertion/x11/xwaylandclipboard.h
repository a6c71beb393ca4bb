#pragma once

#include "platform/clipboard.h"

#include <QObject>

#include <chrono>
#include <memory>

class QSocketNotifier;

// The X11 CLIPBOARD selection of the X server the session offers (Xwayland under GNOME), held over a
// connection of its own: a Wayland client cannot set the clipboard while another window has the
// focus, but an X11 client owns the selection whenever it asks, and the compositor hands it on to
// its Wayland clients. The contents are served from this object, so they go when it does.
class XwaylandClipboard final : public QObject, public AbstractClipboard {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds readTimeout { 500 };
    // The compositor asks the new owner what it offers before its clients see the contents.
    static constexpr std::chrono::milliseconds offerTimeout { 500 };

    // Nothing when no X server can be reached.
    static std::unique_ptr<XwaylandClipboard> connect(QObject *parent = nullptr);
    ~XwaylandClipboard() override;

    std::optional<ClipboardSnapshot> snapshot() override;
    QCoro::Task<std::optional<ClipboardSnapshot>> readSnapshot() override;
    void restore(const ClipboardSnapshot &snapshot) override;
    void setText(const QString &text) override;
    // Once someone (the compositor) has asked which formats the contents last set come in.
    QCoro::Task<void> offered() override;
    // Only the changes while this object owns the selection are seen: someone else taking it over.
    // That is the span between a paste and its restore, which is what the counter guards.
    quint64 changeCount() const override;

private:
    struct X11;
    XwaylandClipboard(std::unique_ptr<X11> x11, QObject *parent);
    void own(QMap<QString, QByteArray> formats);
    void readEvents();

    std::unique_ptr<X11> m_x11;
    QSocketNotifier *m_events;
    // What we serve, by X11 target name; empty while someone else owns the selection.
    QMap<QString, QByteArray> m_owned;
    quint64 m_changeCount = 0;
    bool m_formatsAsked = false;
};
